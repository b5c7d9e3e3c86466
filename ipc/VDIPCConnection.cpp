#include "ipc/VDIPCConnection.h"

#include "app/ExceptionGuard.h"
#include "app/VDApplication.h"
#include "ipc/IPCKeys.h"
#include "ipc/VDIPCMessage.h"
#include "ipc/VDIPCMessageContext.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

constexpr double kDefaultTimeoutSeconds = 5.0;

std::shared_ptr<pf::dispatch::Queue> defaultQueue() {
    return pf::dispatch::Queue::global(pf::dispatch::Priority::Default);
}

std::shared_ptr<VDIPCHandler> handlerOf(const std::shared_ptr<VDIPCMessage>& sendRecord) {
    const pf::Value entry = sendRecord->objectForKey(vdipc::kRecordHandlerKey);
    if (!entry.isObject()) return nullptr;
    return std::const_pointer_cast<VDIPCHandler>(std::dynamic_pointer_cast<const VDIPCHandler>(entry.object()));
}

} // namespace

VDIPCConnection::VDIPCConnection() : ctx_(std::make_shared<VDIPCContext>()) {
    ctx_->setTimeout(kDefaultTimeoutSeconds);
}

VDIPCConnection::~VDIPCConnection() = default;

std::shared_ptr<VDIPCContext> VDIPCConnection::context() const {
    std::lock_guard lock(contextMutex_);
    return ctx_;
}

void VDIPCConnection::setContext(std::shared_ptr<VDIPCContext> context) {
    std::lock_guard lock(contextMutex_);
    ctx_ = std::move(context);
}

double VDIPCConnection::timeout() const {
    auto ctx = context();
    return ctx ? ctx->timeout() : 0;
}

void VDIPCConnection::setTimeout(double seconds) {
    if (auto ctx = context()) ctx->setTimeout(seconds);
}

VDIPCEnvelopeHook VDIPCConnection::aerrorHandler() const {
    auto ctx = context();
    return ctx ? ctx->aerrorHandler() : VDIPCEnvelopeHook();
}

void VDIPCConnection::setAerrorHandler(VDIPCEnvelopeHook hook) {
    if (auto ctx = context()) ctx->setAerrorHandler(std::move(hook));
}

bool VDIPCConnection::isServer() const {
    auto ctx = context();
    return ctx && ctx->serverHandler();
}

void VDIPCConnection::send(const std::shared_ptr<VDIPCMessage>&) {}

void VDIPCConnection::sendMessage(const std::shared_ptr<VDIPCMessage>& message) {
    sendMessage(message, nullptr, VDIPCHandlerBlock());
}

void VDIPCConnection::sendMessage(const std::shared_ptr<VDIPCMessage>& message, VDIPCHandlerBlock reply) {
    sendMessage(message, nullptr, std::move(reply));
}

void VDIPCConnection::sendMessage(const std::shared_ptr<VDIPCMessage>& message,
                                  std::shared_ptr<pf::dispatch::Queue> replyQueue, VDIPCHandlerBlock reply) {
    // Linux has no sudden termination to hold off while the send is queued.
    encodeAndSendMessage(message, std::move(replyQueue), std::move(reply));
}

void VDIPCConnection::encodeAndSendMessage(const std::shared_ptr<VDIPCMessage>& message,
                                           std::shared_ptr<pf::dispatch::Queue> replyQueue,
                                           VDIPCHandlerBlock reply) {
    if (isDead()) return;
    // A service connection never sends requests that expect a reply.
    if (reply && isServer()) return;
    if (!message) return;
    std::shared_ptr<VDIPCHandler> handler;
    if (reply) handler = VDIPCHandler::initWithDelegate(std::move(replyQueue), std::move(reply));
    // The wire gets the message as it is now, whatever the caller does next.
    std::shared_ptr<VDIPCMessage> copy = message->copy();
    defaultQueue()->async([self = shared_from_this(), handler, copy] {
        VDGuard(__LINE__, [&] {
            std::optional<pf::Data> envelope = self->encodedMessage(copy);
            if (!envelope) {
                // Nothing can be sent; a waiting caller hears so at once
                // instead of never.
                if (handler) handler->invokeWithConnection(self, std::nullopt, nullptr, nullptr);
                return;
            }
            auto record = VDIPCMessage::init();
            if (handler) record->setObject(pf::Value(pf::ObjectPtr(handler)), vdipc::kRecordHandlerKey);
            record->setObject(pf::Value(std::move(*envelope)), vdipc::kRecordEnvelopeKey);
            record->setObject(pf::Value(pf::ObjectPtr(copy)), vdipc::kRecordSourceMessageKey);
            self->send(record);
        });
    });
}

void VDIPCConnection::handleMessageData(const std::optional<pf::Data>& envelope,
                                        const std::shared_ptr<VDIPCMessage>& sendRecord) {
    handleMessageData(envelope, sendRecord, nullptr);
}

void VDIPCConnection::handleMessageData(const std::optional<pf::Data>& envelope,
                                        const std::shared_ptr<VDIPCMessage>& sendRecord,
                                        const std::shared_ptr<VDIPCMessageContext>& messageContext) {
    if (isDead()) return;
    std::shared_ptr<VDIPCHandler> handler;
    if (sendRecord) {
        handler = handlerOf(sendRecord);
    } else if (auto ctx = context()) {
        handler = ctx->serverHandler();
    }
    std::optional<pf::Data> packet;
    if (envelope) {
        const bool completed = VDGuard(__LINE__, [&] { packet = decodeMessage(envelope); });
        if (!completed) packet.reset();
        if (!packet) VDLog(1, "ipc: failed to decode message");
    }
    if (handler) handler->invokeWithConnection(shared_from_this(), packet, messageContext, sendRecord);
}

void VDIPCConnection::connectionDied() {
    died_.fetch_add(1, std::memory_order_seq_cst);
    postNotification(vdipc::kConnectionDiedNotification, {});
}

std::shared_ptr<const void> VDIPCConnection::notificationObject() {
    std::shared_ptr<const VDIPCConnection> self = shared_from_this();
    return self;
}

void VDIPCConnection::postNotification(std::string name, pf::Dictionary userInfo) {
    pf::Notification note{std::move(name), notificationObject(), std::move(userInfo)};
    pf::dispatch::Queue::main()->async([note = std::move(note)] {
        VDGuard(__LINE__, [&] { pf::NotificationCenter::defaultCenter().post(note); });
    });
}

void VDIPCConnection::postServiceNotification(std::string name, pf::Dictionary userInfo) {
    pf::Notification note{std::move(name), notificationObject(), std::move(userInfo)};
    VDGuard(__LINE__, [&] { pf::NotificationCenter::defaultCenter().post(note); });
}
