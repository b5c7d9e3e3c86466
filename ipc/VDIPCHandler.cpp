#include "ipc/VDIPCHandler.h"

#include "app/ExceptionGuard.h"
#include "ipc/VDIPCMessage.h"
#include "ipc/VDIPCMessageContext.h"

VDIPCHandler::VDIPCHandler(std::shared_ptr<pf::dispatch::Queue> queue, VDIPCHandlerBlock handler)
    : q_(queue ? std::move(queue) : pf::dispatch::Queue::global(pf::dispatch::Priority::Default)),
      handler_(std::move(handler)) {}

std::shared_ptr<VDIPCHandler> VDIPCHandler::initWithDelegate(std::shared_ptr<pf::dispatch::Queue> queue,
                                                             VDIPCHandlerBlock handler) {
    return std::make_shared<VDIPCHandler>(std::move(queue), std::move(handler));
}

void VDIPCHandler::invokeWithConnection(const std::shared_ptr<VDIPCConnection>& connection,
                                        const std::optional<pf::Data>& packet,
                                        const std::shared_ptr<VDIPCMessageContext>& messageContext,
                                        const std::shared_ptr<VDIPCMessage>&) const {
    std::shared_ptr<VDIPCMessage> message;
    if (packet) {
        message = VDIPCMessage::initWithPacketData(packet);
        message->setConnection(connection);
        // The context's name is an out-of-band key, so it follows the request
        // into its replies and never onto the wire.
        if (messageContext)
            message->setObject(pf::Value(pf::ObjectPtr(messageContext)), messageContext->name());
    }
    q_->async([block = handler_, message] {
        if (block) VDGuard(__LINE__, [&] { block(message); });
    });
}
