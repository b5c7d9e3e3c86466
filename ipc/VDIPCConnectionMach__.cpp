#include "ipc/VDIPCConnectionMach__.h"

#include "app/ExceptionGuard.h"
#include "app/VDApplication.h"
#include "ipc/IPCKeys.h"
#include "ipc/VDIPCMessage.h"
#include "ipc/VDMachPortDelegate.h"
#include "platform/mach/Bootstrap.h"

namespace {

constexpr double kStartDelaySeconds = 0.001;
// The receive loop waits in slices, so that it notices its port's end even
// when nothing wakes its run loop.
constexpr double kReceiveSliceSeconds = 1.0;

} // namespace

VDIPCConnectionMach__::VDIPCConnectionMach__(Passkey) : q_(pf::dispatch::Queue::serial("com.vandrelsys.ipc.mach")) {}

VDIPCConnectionMach__::~VDIPCConnectionMach__() {
    if (sendsrc_) sendsrc_->cancel();
}

std::shared_ptr<VDIPCConnectionMach__> VDIPCConnectionMach__::initWithSendPort(std::shared_ptr<pf::mach::Port> port) {
    auto object = std::make_shared<VDIPCConnectionMach__>(Passkey());
    object->setSendPort(std::move(port));
    return object;
}

std::shared_ptr<VDIPCConnectionMach__> VDIPCConnectionMach__::initWithServiceName(std::string_view name) {
    auto object = std::make_shared<VDIPCConnectionMach__>(Passkey());
    std::shared_ptr<pf::mach::Port> service;
    if (pf::mach::bootstrapLookUp(name, &service) != 0) return nullptr;
    auto reply = pf::mach::Port::create();
    if (!reply) return nullptr;
    {
        std::lock_guard lock(object->machMutex_);
        object->recvPort_ = reply;
    }
    object->observePortInvalidation(reply);
    object->setSendPort(std::move(service));
    return object;
}

std::shared_ptr<VDIPCConnectionMach__> VDIPCConnectionMach__::initWithVendedServiceName(std::string_view name,
                                                                                        SetupHandler setup) {
    auto object = std::make_shared<VDIPCConnectionMach__>(Passkey());
    std::shared_ptr<pf::mach::Port> port;
    if (pf::mach::bootstrapCheckIn(name, &port) != 0) return nullptr;
    {
        std::lock_guard lock(object->machMutex_);
        object->recvPort_ = std::move(port);
    }
    // The block keeps its global-queue thread, and the service, for as long
    // as the service lives.
    pf::dispatch::Queue::global()->after(kStartDelaySeconds, [object, setup = std::move(setup), name = std::string(name)] {
        object->receiveLoop(setup, name);
    });
    return object;
}

void VDIPCConnectionMach__::receiveLoop(SetupHandler setup, std::string name) {
    std::shared_ptr<pf::mach::Port> port;
    {
        std::lock_guard lock(machMutex_);
        port = recvPort_;
    }
    if (!port) return;
    auto delegate = std::make_shared<VDMachPortDelegate>();
    port->setDelegate(delegate);
    serviceLoop_ = &pf::RunLoop::current();
    port->scheduleInRunLoop(pf::RunLoop::current());
    observePortInvalidation(port);
    VDGuard(__LINE__, [&] {
        if (setup) setup(machSelf());
    });
    pf::Dictionary info;
    info["name"] = pf::Value(name);
    postServiceNotification(vdipc::kServiceWillStartNotification, std::move(info));
    while (recvPortDead_.fetch_add(0) != 1) {
        if (auto message = delegate->waitForPortMessage(kReceiveSliceSeconds)) handleServerMessage(std::move(message));
    }
    port->removeFromRunLoop();
    serviceLoop_ = nullptr;
}

void VDIPCConnectionMach__::setSendPort(std::shared_ptr<pf::mach::Port> port) {
    std::weak_ptr<VDIPCConnectionMach__> weak = std::static_pointer_cast<VDIPCConnectionMach__>(machSelf());
    std::shared_ptr<pf::mach::DeadNameSource> source;
    if (port)
        source = pf::mach::DeadNameSource::create(*port, q_, [weak, port] {
            // portDied clears and cancels the source.
            if (auto self = weak.lock())
                VDGuard(__LINE__, [&] {
                    self->portDied(pf::Notification{pf::mach::kPortDidBecomeInvalidNotification, port, {}});
                });
        });
    std::lock_guard lock(machMutex_);
    sendPort_ = std::move(port);
    sendsrc_ = std::move(source);
}

void VDIPCConnectionMach__::send(const std::shared_ptr<VDIPCMessage>& sendRecord) {
    std::shared_ptr<pf::mach::Port> sendPort, recvPort;
    {
        std::lock_guard lock(machMutex_);
        sendPort = sendPort_;
        recvPort = recvPort_;
    }
    const double timeout = this->timeout();
    q_->async([self = std::static_pointer_cast<VDIPCConnectionMach__>(machSelf()), sendRecord, sendPort, recvPort,
               timeout] { VDGuard(__LINE__, [&] { self->transmit(sendRecord, sendPort, recvPort, timeout); }); });
}

void VDIPCConnectionMach__::transmit(const std::shared_ptr<VDIPCMessage>& record,
                                     const std::shared_ptr<pf::mach::Port>& sendPort,
                                     const std::shared_ptr<pf::mach::Port>& recvPort, double timeout) {
    const pf::Value envelope = record->objectForKey(vdipc::kRecordEnvelopeKey);
    pf::mach::PortMessage frame;
    frame.sendPort = sendPort;
    frame.receivePort = isChild() ? nullptr : recvPort;
    frame.components.emplace_back(envelope.isData() ? envelope.data() : pf::Data());
    const bool wantsReply = record->objectForKey(vdipc::kRecordHandlerKey).isObject();
    int result = 0;
    if (!wantsReply) {
        result = sendPort ? frame.send(timeout) : -EPIPE;
    } else if (!sendPort || !recvPort) {
        result = -EPIPE;
        handleMessageData(std::nullopt, record);
    } else {
        auto delegate = std::make_shared<VDMachPortDelegate>();
        recvPort->setDelegate(delegate);
        recvPort->scheduleInRunLoop(pf::RunLoop::current());
        result = frame.send(timeout);
        if (result != 0) {
            recvPort->removeFromRunLoop();
            handleMessageData(std::nullopt, record);
        } else {
            auto answer = delegate->waitForPortMessage(timeout);
            recvPort->removeFromRunLoop();
            handlePortMessage(std::move(answer), record);
        }
        recvPort->setDelegate({});
    }
    if (result != 0) VDLog(1, "mipc: send failed");
}

void VDIPCConnectionMach__::handleServerMessage(std::shared_ptr<pf::mach::PortMessage> message) {
    q_->async([self = std::static_pointer_cast<VDIPCConnectionMach__>(machSelf()), message = std::move(message)] {
        VDGuard(__LINE__, [&] {
            // A frame without a reply port has nobody to answer: it is
            // delivered through the service itself.
            std::shared_ptr<VDIPCConnectionMach> child = self;
            if (message->sendPort) child = self->childConnectionWithPort(message->sendPort);
            if (child) child->handlePortMessage(message, nullptr); // else over the children's bound: dropped
        });
    });
}

void VDIPCConnectionMach__::close() {
    std::shared_ptr<pf::mach::Port> recvPort;
    {
        std::lock_guard lock(machMutex_);
        recvPort = recvPort_;
    }
    if (recvPort) recvPort->invalidate();
}

void VDIPCConnectionMach__::portDied(const pf::Notification& note) {
    VDIPCConnectionMach::portDied(note);
    if (auto loop = serviceLoop_.load()) loop->wakeUp();
    std::shared_ptr<pf::mach::DeadNameSource> source;
    {
        std::lock_guard lock(machMutex_);
        source = std::move(sendsrc_);
    }
    if (source) source->cancel();
}

void VDIPCConnectionMach__::childDied(const pf::Notification& note) {
    VDIPCConnectionMach::childDied(note);
    q_->async([self = std::static_pointer_cast<VDIPCConnectionMach__>(machSelf()), child = note.object.get()] {
        self->removeChild(child);
    });
}
