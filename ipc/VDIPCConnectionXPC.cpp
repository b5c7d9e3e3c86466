#include "ipc/VDIPCConnectionXPC.h"

#include <unistd.h>

#include "app/ExceptionGuard.h"
#include "app/VDApplication.h"
#include "ipc/IPCKeys.h"
#include "ipc/VDIPCMessage.h"
#include "ipc/VDIPCMessageContext.h"

namespace {

constexpr double kStartDelaySeconds = 0.001;

std::shared_ptr<pf::dispatch::Queue> defaultQueue() {
    return pf::dispatch::Queue::global(pf::dispatch::Priority::Default);
}

// The reply context's pointer: the XPC reply dictionary, owned by the
// context's finalizer.
using ReplyBox = std::shared_ptr<pf::xpc::Dictionary>;

std::shared_ptr<VDIPCMessageContext> replyContextFor(std::shared_ptr<pf::xpc::Dictionary> reply) {
    auto* box = new ReplyBox(std::move(reply));
    auto context = VDIPCMessageContext::initWithContext(box, [box] { delete box; });
    context->setName(vdipc::kXPCReplyContextKey);
    return context;
}

template <class T>
std::shared_ptr<T> objectEntry(const VDIPCMessage& message, std::string_view key) {
    const pf::Value value = message.objectForKey(key);
    if (!value.isObject()) return nullptr;
    return std::const_pointer_cast<T>(std::dynamic_pointer_cast<const T>(value.object()));
}

} // namespace

VDIPCConnectionXPC::VDIPCConnectionXPC(Passkey) : commq_(pf::dispatch::Queue::serial("com.vandrelsys.ipc.xpc")) {}

VDIPCConnectionXPC::~VDIPCConnectionXPC() = default;

std::shared_ptr<VDIPCConnectionXPC> VDIPCConnectionXPC::self() {
    return std::static_pointer_cast<VDIPCConnectionXPC>(shared_from_this());
}

std::shared_ptr<pf::dispatch::Queue> VDIPCConnectionXPC::commq() const {
    std::lock_guard lock(mutex_);
    return commq_;
}

std::shared_ptr<pf::xpc::Connection> VDIPCConnectionXPC::connHandle() const {
    std::lock_guard lock(mutex_);
    return connHandle_;
}

void VDIPCConnectionXPC::setConnHandle(std::shared_ptr<pf::xpc::Connection> connection) {
    std::lock_guard lock(mutex_);
    connHandle_ = std::move(connection);
}

// ---------------------------------------------------------------- client

std::shared_ptr<VDIPCConnectionXPC> VDIPCConnectionXPC::initWithName(std::string_view name, bool mach,
                                                                     bool privileged) {
    auto object = std::make_shared<VDIPCConnectionXPC>(Passkey());
    const auto queue = object->commq();
    const std::uint64_t flags = privileged ? std::uint64_t{pf::xpc::Connection::kMachServicePrivileged} : 0;
    std::shared_ptr<pf::xpc::Connection> connection =
        mach ? pf::xpc::Connection::createMachService(name, queue, flags) : pf::xpc::Connection::create(name, queue);
    if (!connection) return nullptr;
    connection->setEventHandler([object](std::shared_ptr<pf::xpc::Object> event) { object->handleClientEvent(event); });
    object->setConnHandle(connection);
    connection->resume();
    return object;
}

void VDIPCConnectionXPC::handleClientEvent(const std::shared_ptr<pf::xpc::Object>& event) {
    // An interruption is survivable (the next send reconnects), and nothing
    // the service sends unasked is meant for a client.
    if (event != pf::xpc::kConnectionInvalid) return;
    VDGuard(__LINE__, [&] {
        if (auto connection = connHandle()) connection->cancel();
        connectionDied();
    });
}

// ---------------------------------------------------------------- listener

std::shared_ptr<VDIPCConnectionXPC> VDIPCConnectionXPC::initWithVendedServiceName(std::string_view name,
                                                                                  SetupHandler setup) {
    auto object = std::make_shared<VDIPCConnectionXPC>(Passkey());
    std::uint64_t flags = pf::xpc::Connection::kMachServiceListener;
    if (::geteuid() == 0) flags |= pf::xpc::Connection::kMachServicePrivileged;
    auto listener = pf::xpc::Connection::createMachService(name, object->commq(), flags);
    if (!listener) return nullptr;
    if (const std::string why = listener->lastError(); !why.empty()) {
        VDLog(1, "xipc: cannot vend %@: %@", std::string(name), why);
        listener->cancel();
        return nullptr;
    }
    listener->setEventHandler([object](std::shared_ptr<pf::xpc::Object> event) { object->handleListenerEvent(event); });
    object->setConnHandle(listener);

    defaultQueue()->after(kStartDelaySeconds, [object, listener, setup = std::move(setup), service = std::string(name)] {
        VDGuard(__LINE__, [&] {
            if (setup) setup(object);
        });
        // Observers (the job server's envelope hook among them) run before
        // the first client can be served.
        object->postServiceNotification(vdipc::kServiceWillStartNotification, {{"name", pf::Value(service)}});
        VDGuard(__LINE__, [&] { listener->resume(); });
    });
    return object;
}

void VDIPCConnectionXPC::handleListenerEvent(const std::shared_ptr<pf::xpc::Object>& event) {
    VDGuard(__LINE__, [&] {
        if (auto peer = std::dynamic_pointer_cast<pf::xpc::Connection>(event)) {
            if (peer->context()) return;
            // The child serves with the listener's handler, hook and time-out.
            initWithXPCConnection(peer, context());
            return;
        }
        VDLog(1, "xipc: unknown connection type: %s", event ? event->description() : std::string("(null)"));
        if (auto listener = connHandle()) listener->cancel();
        connectionDied();
    });
}

void VDIPCConnectionXPC::setPeerAdmission(pf::xpc::Connection::PeerAdmission admission) {
    if (auto connection = connHandle(); connection && connection->isListener())
        connection->setPeerAdmission(std::move(admission));
}

void VDIPCConnectionXPC::stopAccepting(std::function<void()> drained) {
    if (auto connection = connHandle(); connection && connection->isListener())
        connection->stopAccepting(std::move(drained));
}

bool VDIPCConnectionXPC::resumeAccepting() {
    auto connection = connHandle();
    return connection && connection->isListener() && connection->resumeAccepting();
}

// ---------------------------------------------------------------- child

std::shared_ptr<VDIPCConnectionXPC> VDIPCConnectionXPC::initWithXPCConnection(
    std::shared_ptr<pf::xpc::Connection> peer, std::shared_ptr<VDIPCContext> context) {
    if (!peer) return nullptr;
    auto object = std::make_shared<VDIPCConnectionXPC>(Passkey());
    if (context) {
        object->setContext(std::move(context));
        object->isChild_ = true;
    }
    defaultQueue()->after(kStartDelaySeconds, [object, peer] {
        VDGuard(__LINE__, [&] { object->handleNewServerConnection(peer); });
    });
    return object;
}

void VDIPCConnectionXPC::handleNewServerConnection(const std::shared_ptr<pf::xpc::Connection>& peer) {
    auto object = self();
    peer->setEventHandler([object](std::shared_ptr<pf::xpc::Object> event) { object->handleChildEvent(event); });
    peer->setContext(this); // not retained: the handler above keeps the object
    setConnHandle(peer);
    peer->resume();
}

void VDIPCConnectionXPC::handleChildEvent(const std::shared_ptr<pf::xpc::Object>& event) {
    if (auto frame = std::dynamic_pointer_cast<pf::xpc::Dictionary>(event)) {
        handleClientMsg(frame);
        return;
    }
    if (event == pf::xpc::kConnectionInvalid || event == pf::xpc::kTerminationImminent)
        VDGuard(__LINE__, [&] { connectionDied(); });
}

void VDIPCConnectionXPC::handleClientMsg(const std::shared_ptr<pf::xpc::Dictionary>& frame) {
    defaultQueue()->async([object = self(), frame] {
        VDGuard(__LINE__, [&] {
            const std::vector<std::uint8_t>* bytes = frame->data(vdipc::kXPCDataKey);
            if (!bytes || bytes->empty()) {
                VDLog(1, "xipc: invalid msg received");
                return;
            }
            std::shared_ptr<VDIPCMessageContext> replyContext;
            if (frame->boolean(vdipc::kXPCWantsReplyKey).value_or(false)) {
                // A frame that claims a reply the transport cannot route
                // gets none.
                if (auto reply = pf::xpc::Dictionary::createReply(frame)) replyContext = replyContextFor(std::move(reply));
            }
            object->handleMessageData(pf::Data(*bytes), nullptr, replyContext);
        });
    });
}

// ---------------------------------------------------------------- every role

void VDIPCConnectionXPC::send(const std::shared_ptr<VDIPCMessage>& record) {
    auto connection = connHandle();
    auto queue = commq();
    if (!connection || !queue) {
        VDLog(1, "xipc: send attempt on dead connection");
        return;
    }
    queue->async([object = self(), connection, record] {
        VDGuard(__LINE__, [&] { object->transmit(connection, record); });
    });
}

void VDIPCConnectionXPC::transmit(const std::shared_ptr<pf::xpc::Connection>& connection,
                                  const std::shared_ptr<VDIPCMessage>& record) {
    const pf::Value envelope = record->objectForKey(vdipc::kRecordEnvelopeKey);
    auto handler = objectEntry<VDIPCHandler>(*record, vdipc::kRecordHandlerKey);
    auto source = objectEntry<VDIPCMessage>(*record, vdipc::kRecordSourceMessageKey);

    std::shared_ptr<VDIPCMessageContext> replyContext;
    if (source) {
        replyContext = objectEntry<VDIPCMessageContext>(*source, vdipc::kXPCReplyContextKey);
        source->setObject(pf::Value(), vdipc::kXPCReplyContextKey);
    }
    std::shared_ptr<pf::xpc::Dictionary> frame;
    if (replyContext && replyContext->context()) frame = *static_cast<ReplyBox*>(replyContext->context());
    if (!frame) frame = pf::xpc::Dictionary::create();
    if (envelope.isData()) frame->setData(vdipc::kXPCDataKey, envelope.data());

    if (handler) {
        frame->setBool(vdipc::kXPCWantsReplyKey, true);
        connection->sendMessageWithReply(frame, commq(),
                                         [object = self(), record](std::shared_ptr<pf::xpc::Object> reply) {
                                             VDGuard(__LINE__, [&] { object->handleReply(reply, record); });
                                         });
    } else {
        connection->sendMessage(frame);
    }
}

void VDIPCConnectionXPC::handleReply(const std::shared_ptr<pf::xpc::Object>& reply,
                                     const std::shared_ptr<VDIPCMessage>& record) {
    if (auto frame = std::dynamic_pointer_cast<pf::xpc::Dictionary>(reply)) {
        const std::vector<std::uint8_t>* bytes = frame->data(vdipc::kXPCDataKey);
        if (!bytes || bytes->empty()) {
            VDLog(1, "xipc: invalid msg reply");
            return;
        }
        handleMessageData(pf::Data(*bytes), record);
        return;
    }
    VDLog(1, "xipc: error waiting for reply: %s", reply ? reply->description() : std::string("(null)"));
    handleMessageData(std::nullopt, record);
}

void VDIPCConnectionXPC::close() {
    if (auto connection = connHandle()) connection->cancel();
}

void VDIPCConnectionXPC::connectionDied() {
    if (isChild()) setContext(nullptr);
    VDIPCConnection::connectionDied();
    std::lock_guard lock(mutex_);
    connHandle_.reset();
    commq_.reset();
}

std::shared_ptr<pf::xpc::Connection> VDIPCConnectionXPC::xpcConnectionForMessage(const VDIPCMessage& message) {
    auto connection = std::dynamic_pointer_cast<VDIPCConnectionXPC>(message.connection());
    return connection ? connection->connHandle() : nullptr;
}

// ---------------------------------------------------------------- class operations

std::shared_ptr<VDIPCConnectionXPC> VDIPCConnectionXPC::connectionWithName(std::string_view name) {
    return initWithName(name, false, false);
}

std::shared_ptr<VDIPCConnectionXPC> VDIPCConnectionXPC::connectionWithServiceName(std::string_view name,
                                                                                  bool privileged) {
    return initWithName(name, true, privileged);
}

std::shared_ptr<VDIPCConnectionXPC> VDIPCConnectionXPC::connectionWithServiceName(std::string_view) {
    return nullptr;
}

std::shared_ptr<VDIPCConnectionXPC> VDIPCConnectionXPC::serviceConnectionWithXPCConnection(
    std::shared_ptr<pf::xpc::Connection> peer) {
    return initWithXPCConnection(std::move(peer));
}

std::shared_ptr<VDIPCConnectionXPC> VDIPCConnectionXPC::serviceConnnectionWithName(std::string_view name,
                                                                                  SetupHandler setup) {
    return initWithVendedServiceName(name, std::move(setup));
}
