#pragma once
// A handler block bound to the queue it runs on. It turns received packet
// bytes into a message for the block; a handler is equal only to itself.
#include <functional>
#include <memory>
#include <optional>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class VDIPCConnection;
class VDIPCMessage;
class VDIPCMessageContext;

// Receives nullptr when nothing could be decoded (transport failure,
// rejected or undecodable envelope).
using VDIPCHandlerBlock = std::function<void(std::shared_ptr<VDIPCMessage>)>;

class VDIPCHandler : public pf::Object {
public:
    // A null queue selects the global queue of default priority.
    VDIPCHandler(std::shared_ptr<pf::dispatch::Queue> queue, VDIPCHandlerBlock handler);
    static std::shared_ptr<VDIPCHandler> initWithDelegate(std::shared_ptr<pf::dispatch::Queue> queue,
                                                          VDIPCHandlerBlock handler);

    // Builds the message (nullptr without packet), gives it its connection and
    // message context, and calls the block asynchronously on the queue. The
    // send record is accepted and not used.
    void invokeWithConnection(const std::shared_ptr<VDIPCConnection>& connection,
                              const std::optional<pf::Data>& packet,
                              const std::shared_ptr<VDIPCMessageContext>& messageContext,
                              const std::shared_ptr<VDIPCMessage>& sendRecord) const;

    const std::shared_ptr<pf::dispatch::Queue>& delegate() const { return q_; }
    const VDIPCHandlerBlock& handler() const { return handler_; }

private:
    std::shared_ptr<pf::dispatch::Queue> q_;
    VDIPCHandlerBlock handler_;
};
