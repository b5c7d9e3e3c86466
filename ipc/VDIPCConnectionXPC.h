#pragma once
// The XPC transport: one object wraps one XPC connection in one of three
// roles: a client of a named service, a listener that vends a service name,
// or a child that the listener makes for each client. Envelopes travel in
// frames {"__Xd_": envelope, "__Xr_": true when a reply is wanted}; replies
// use XPC's own reply mechanism, so no table of pending requests is kept.
//
// Each XPC connection's event handler holds its object strongly: a child
// lives as long as its client is connected, a listener until it is closed.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "ipc/VDIPCConnection.h"
#include "platform/xpc/Connection.h"

class VDIPCConnectionXPC : public VDIPCConnection {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    using SetupHandler = std::function<void(const std::shared_ptr<VDIPCConnectionXPC>&)>;

    // init: the connection core plus the serial queue "com.vandrelsys.ipc.xpc".
    explicit VDIPCConnectionXPC(Passkey);
    ~VDIPCConnectionXPC() override;

    // Client role: to the XPC service of the calling application (mach
    // false), or to the Mach service of that name, in the system domain when
    // privileged. Resumed at once. nullptr when the connection cannot be made.
    static std::shared_ptr<VDIPCConnectionXPC> initWithName(std::string_view name, bool mach, bool privileged);
    // Listener role: vends the name (system domain when running as root, else
    // the user's). 1 ms later, on the default global queue, the setup block
    // runs, "VDIPCServiceConnectionWillStartNotification" is posted
    // synchronously, and only then the listener is resumed. nullptr when the
    // service cannot be vended.
    static std::shared_ptr<VDIPCConnectionXPC> initWithVendedServiceName(std::string_view name, SetupHandler setup);
    // Child role around a peer the listener accepted; the peer is resumed 1 ms later.
    // A listener passes its context: the child must have it (handler, hook)
    // before its first message can arrive.
    static std::shared_ptr<VDIPCConnectionXPC> initWithXPCConnection(std::shared_ptr<pf::xpc::Connection> peer,
                                                                     std::shared_ptr<VDIPCContext> context = nullptr);

    static std::shared_ptr<VDIPCConnectionXPC> connectionWithName(std::string_view name);
    static std::shared_ptr<VDIPCConnectionXPC> connectionWithServiceName(std::string_view name, bool privileged);
    // There is no unprivileged-or-privileged guess to make: always nullptr.
    static std::shared_ptr<VDIPCConnectionXPC> connectionWithServiceName(std::string_view name);
    static std::shared_ptr<VDIPCConnectionXPC> serviceConnectionWithXPCConnection(
        std::shared_ptr<pf::xpc::Connection> peer);
    static std::shared_ptr<VDIPCConnectionXPC> serviceConnnectionWithName(std::string_view name, SetupHandler setup);

    // Cancels the XPC connection; the cancellation arrives as the invalid event.
    void close() override;
    // A child first lets go of the shared context; afterwards connHandle and
    // commq are cleared, so later sends log "xipc: send attempt on dead connection".
    void connectionDied() override;

    std::shared_ptr<pf::dispatch::Queue> commq() const;
    std::shared_ptr<pf::xpc::Connection> connHandle() const;
    bool isChild() const { return isChild_.load(); }

    // Listener only: a filter that refuses peers before any of their frames
    // is read. It must be in place before the listener resumes: set it right
    // after creation or from an observer of the will-start notification.
    void setPeerAdmission(pf::xpc::Connection::PeerAdmission admission);
    // Listener only: the idle exit and its way back (see
    // pf::xpc::Connection::stopAccepting and resumeAccepting).
    void stopAccepting(std::function<void()> drained);
    bool resumeAccepting();
    // The XPC connection a received message came through (its child's peer
    // connection, whose credentials are the client's), or nullptr.
    static std::shared_ptr<pf::xpc::Connection> xpcConnectionForMessage(const VDIPCMessage& message);

protected:
    void send(const std::shared_ptr<VDIPCMessage>& sendRecord) override;

private:
    std::shared_ptr<VDIPCConnectionXPC> self();
    void setConnHandle(std::shared_ptr<pf::xpc::Connection> connection);
    void handleNewServerConnection(const std::shared_ptr<pf::xpc::Connection>& peer);
    void handleClientMsg(const std::shared_ptr<pf::xpc::Dictionary>& frame);
    void handleReply(const std::shared_ptr<pf::xpc::Object>& reply, const std::shared_ptr<VDIPCMessage>& sendRecord);
    void handleListenerEvent(const std::shared_ptr<pf::xpc::Object>& event);
    void handleChildEvent(const std::shared_ptr<pf::xpc::Object>& event);
    void handleClientEvent(const std::shared_ptr<pf::xpc::Object>& event);
    void transmit(const std::shared_ptr<pf::xpc::Connection>& connection, const std::shared_ptr<VDIPCMessage>& record);

    std::atomic<bool> isChild_{false};
    mutable std::mutex mutex_;
    std::shared_ptr<pf::dispatch::Queue> commq_;
    std::shared_ptr<pf::xpc::Connection> connHandle_;
};
