#include "ipc/VDIPCConnectionMach.h"

#include "app/ExceptionGuard.h"
#include "app/VDApplication.h"
#include "ipc/IPCKeys.h"
#include "ipc/VDIPCConnectionMach__.h"
#include "platform/xpc/Limits.h"

VDIPCConnectionMach::~VDIPCConnectionMach() {
    auto& center = pf::NotificationCenter::defaultCenter();
    if (portObserver_) center.removeObserver(portObserver_);
    for (const auto& [child, observer] : childObservers_) center.removeObserver(observer);
}

std::shared_ptr<VDIPCConnectionMach> VDIPCConnectionMach::connectionWithServiceName(std::string_view name) {
    return VDIPCConnectionMach__::initWithServiceName(name);
}

std::shared_ptr<VDIPCConnectionMach> VDIPCConnectionMach::serviceConnnectionWithName(std::string_view name,
                                                                                    SetupHandler setup) {
    return VDIPCConnectionMach__::initWithVendedServiceName(name, std::move(setup));
}

std::shared_ptr<VDIPCConnectionMach> VDIPCConnectionMach::machSelf() {
    return std::static_pointer_cast<VDIPCConnectionMach>(shared_from_this());
}

void VDIPCConnectionMach::observePortInvalidation(const std::shared_ptr<pf::mach::Port>& port) {
    std::weak_ptr<VDIPCConnectionMach> weak = machSelf();
    auto observer = pf::NotificationCenter::defaultCenter().addObserver(
        pf::mach::kPortDidBecomeInvalidNotification, port.get(), [weak](const pf::Notification& note) {
            if (auto self = weak.lock()) self->portDied(note);
        });
    std::lock_guard lock(machMutex_);
    portObserver_ = std::move(observer);
}

std::size_t VDIPCConnectionMach::childCount() const {
    std::lock_guard lock(machMutex_);
    return children_.size();
}

std::shared_ptr<VDIPCConnectionMach> VDIPCConnectionMach::childConnectionWithPort(
    const std::shared_ptr<pf::mach::Port>& replyPort) {
    std::lock_guard lock(machMutex_);
    if (auto it = children_.find(replyPort->name()); it != children_.end()) return it->second;
    // Every reply port costs a child: as many as a listener admits peers.
    if (children_.size() >= pf::xpc::kMaxPeersPerListener) return nullptr;
    auto& child = children_[replyPort->name()];
    child = VDIPCConnectionMach__::initWithSendPort(replyPort);
    child->setContext(context());
    child->isChild_ = true;
    std::weak_ptr<VDIPCConnectionMach> weak = machSelf();
    const void* object = static_cast<const VDIPCConnection*>(child.get());
    childObservers_[object] = pf::NotificationCenter::defaultCenter().addObserver(
        vdipc::kConnectionDiedNotification, object, [weak](const pf::Notification& note) {
            if (auto self = weak.lock()) self->childDied(note);
        });
    return child;
}

void VDIPCConnectionMach::removeChild(const void* child) {
    std::lock_guard lock(machMutex_);
    for (auto it = children_.begin(); it != children_.end(); ++it)
        if (static_cast<const VDIPCConnection*>(it->second.get()) == child) {
            children_.erase(it);
            return;
        }
}

void VDIPCConnectionMach::handlePortMessage(std::shared_ptr<pf::mach::PortMessage> message,
                                            std::shared_ptr<VDIPCMessage> sendRecord) {
    pf::dispatch::Queue::global()->async([self = machSelf(), message = std::move(message),
                                          sendRecord = std::move(sendRecord)] {
        VDGuard(__LINE__, [&] {
            const pf::Data* data = nullptr;
            if (!message || message->components.empty())
                VDLog(1, "mipc: empty msg received");
            else if (!(data = std::get_if<pf::Data>(&message->components[0])))
                VDLog(1, "mipc: invalid msg type received");
            if (data)
                self->handleMessageData(*data, sendRecord);
            else if (sendRecord)
                self->handleMessageData(std::nullopt, sendRecord);
        });
    });
}

void VDIPCConnectionMach::portDied(const pf::Notification& note) {
    std::int64_t alive = 0;
    if (!recvPortDead_.compare_exchange_strong(alive, 1)) return; // announced once
    std::shared_ptr<pf::mach::Port> sendPort, recvPort;
    pf::NotificationCenter::ObserverHandle observer;
    {
        std::lock_guard lock(machMutex_);
        observer = std::move(portObserver_);
        sendPort = std::move(sendPort_);
        recvPort = std::move(recvPort_);
    }
    if (observer) pf::NotificationCenter::defaultCenter().removeObserver(observer);
    VDGuard(__LINE__, [&] {
        if (sendPort && note.object.get() == static_cast<const void*>(sendPort.get()))
            sendPort->invalidate();
        else if (recvPort)
            recvPort->invalidate();
    });
    // A dead child no longer serves, nor keeps the service's settings alive.
    if (isChild()) setContext(nullptr);
    connectionDied();
}

void VDIPCConnectionMach::childDied(const pf::Notification& note) {
    pf::NotificationCenter::ObserverHandle observer;
    {
        std::lock_guard lock(machMutex_);
        auto it = childObservers_.find(note.object.get());
        if (it == childObservers_.end()) return;
        observer = std::move(it->second);
        childObservers_.erase(it);
    }
    pf::NotificationCenter::defaultCenter().removeObserver(observer);
}
