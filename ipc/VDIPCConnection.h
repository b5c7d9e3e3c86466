#pragma once
// The transport-independent half of an IPC endpoint. Sending copies the
// message, builds its envelope off the caller's thread and hands it to the
// transport (send); received envelopes are decoded and routed to the reply
// handler of the request they answer, or to the server handler. A connection
// whose context has a server handler is a service connection.
//
// Notifications (object: the connection as a std::shared_ptr<VDIPCConnection>):
// "VDIPCConnectionCreatedNotification" and "VDIPCConnectionDiedNotification"
// asynchronously on the main queue, "VDIPCServiceConnectionWillStartNotification"
// ({"name": service name}) synchronously before a service starts receiving.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/VDIPCContext.h"
#include "ipc/VDIPCHandler.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class VDIPCMessage;
class VDIPCMessageContext;
namespace pf::xpc {
class Connection;
}

class VDIPCConnection : public pf::Object, public std::enable_shared_from_this<VDIPCConnection> {
public:
    VDIPCConnection();
    ~VDIPCConnection() override;
    VDIPCConnection(const VDIPCConnection&) = delete;
    VDIPCConnection& operator=(const VDIPCConnection&) = delete;

    // Factories. Each posts "VDIPCConnectionCreatedNotification" on success,
    // logs its failure line and answers nullptr otherwise; an empty name
    // answers nullptr without a log.
    static std::shared_ptr<VDIPCConnection> connectionWithServiceName(std::string_view name);
    static std::shared_ptr<VDIPCConnection> serviceConnnectionWithName(std::string_view name,
                                                                       std::shared_ptr<pf::dispatch::Queue> queue,
                                                                       VDIPCHandlerBlock handler);
    static std::shared_ptr<VDIPCConnection> connectionWithXPCName(std::string_view name);
    static std::shared_ptr<VDIPCConnection> connectionWithXPCServiceName(std::string_view name, bool privileged);
    static std::shared_ptr<VDIPCConnection> serviceConnectionWithXPCConnection(
        std::shared_ptr<pf::xpc::Connection> peer, std::shared_ptr<pf::dispatch::Queue> queue,
        VDIPCHandlerBlock handler);
    static std::shared_ptr<VDIPCConnection> serviceConnectionWithXPCName(std::string_view name,
                                                                         std::shared_ptr<pf::dispatch::Queue> queue,
                                                                         VDIPCHandlerBlock handler);

    // One-way; never blocks on the transport.
    void sendMessage(const std::shared_ptr<VDIPCMessage>& message);
    // The reply block runs on the global queue of default priority with the
    // answer, or with nullptr when the transport fails.
    void sendMessage(const std::shared_ptr<VDIPCMessage>& message, VDIPCHandlerBlock reply);
    void sendMessage(const std::shared_ptr<VDIPCMessage>& message, std::shared_ptr<pf::dispatch::Queue> replyQueue,
                     VDIPCHandlerBlock reply);
    virtual void close() {}

    double timeout() const;
    void setTimeout(double seconds);
    VDIPCEnvelopeHook aerrorHandler() const;
    void setAerrorHandler(VDIPCEnvelopeHook hook);
    bool isServer() const;

    // The envelope codec: envelope bytes of a message (nullopt when they cannot
    // be written), and the packet an envelope carries (nullopt when rejected).
    std::optional<pf::Data> encodedMessage(const std::shared_ptr<VDIPCMessage>& message) const;
    std::optional<pf::Data> decodeMessage(const std::optional<pf::Data>& envelope) const;

    // Routes received envelope bytes (nullopt: the transport failed) to the
    // send record's reply handler or, without record, to the server handler.
    void handleMessageData(const std::optional<pf::Data>& envelope, const std::shared_ptr<VDIPCMessage>& sendRecord,
                           const std::shared_ptr<VDIPCMessageContext>& messageContext);
    void handleMessageData(const std::optional<pf::Data>& envelope, const std::shared_ptr<VDIPCMessage>& sendRecord);

    // Marks the connection dead (for good) and announces it.
    virtual void connectionDied();
    bool isDead() const { return died_.load(std::memory_order_seq_cst) > 0; }

    void postNotification(std::string name, pf::Dictionary userInfo);
    void postServiceNotification(std::string name, pf::Dictionary userInfo);

    std::shared_ptr<VDIPCContext> context() const;
    void setContext(std::shared_ptr<VDIPCContext> context);

protected:
    // Hands one send record ("__h_", "__d_", "__sm_") to the transport.
    virtual void send(const std::shared_ptr<VDIPCMessage>& sendRecord);
    void encodeAndSendMessage(const std::shared_ptr<VDIPCMessage>& message,
                              std::shared_ptr<pf::dispatch::Queue> replyQueue, VDIPCHandlerBlock reply);
    // The notification object: this connection under its base type.
    std::shared_ptr<const void> notificationObject();

private:
    mutable std::mutex contextMutex_;
    std::shared_ptr<VDIPCContext> ctx_;
    std::atomic<std::int64_t> died_{0};
};
