#pragma once
// XPC-like connections over Unix-domain stream sockets.
//
// Roles:
// - client: createMachService(name, queue, 0 or kMachServicePrivileged), or
//   create(name, queue) for a service of the calling application (user
//   domain). Connects on resume (and again on the first send after an
//   interruption).
// - listener: createMachService(name, queue, kMachServiceListener[|Privileged]).
//   Takes the socket handed over by socket activation, else binds its own
//   (see ServiceSocket.h), when created; clients may connect from then on
//   and wait in the backlog, but nothing is accepted before resume(). Each
//   accepted and admitted client reaches the event handler as a new peer
//   Connection, which must be given a handler and resumed (or cancelled).
// - peer: the server side of one client.
//
// Events (on the target queue, in order per connection): Dictionary
// messages, Connection peers (listener only), Error events. After
// kConnectionInvalid the handler is released and nothing more is delivered.
// Reply handlers get the reply Dictionary, or kConnectionInterrupted (the
// service went away after the request was sent whole; a client reconnects on
// its next send; a request that never left whole, which the service cannot
// have seen, is sent again on a new connection at once instead) or
// kConnectionInvalid (the connection is dead, was cancelled, or its service
// name does not exist at all: a lookup failure is invalid, as in XPC).
//
// Lifetime: a resumed connection is kept alive by the transport while it is
// connected (a client), accepting (a listener) or serving its client (a
// peer), so a pending handler always runs; cancel() ends that. A client that
// is not connected (never resumed, or interrupted) lives as long as its
// owners keep it.
//
// All operations are thread-safe.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/xpc/Dictionary.h"
#include "platform/xpc/Error.h"
#include "platform/xpc/Object.h"
#include "platform/xpc/PeerCredentials.h"
#include "platform/xpc/ServiceSocket.h"

namespace pf::xpc {

class Connection final : public Object, public std::enable_shared_from_this<Connection> {
public:
    using EventHandler = std::function<void(std::shared_ptr<Object>)>;
    using ReplyHandler = std::function<void(std::shared_ptr<Object>)>;
    // Called once per accepted peer, before any of its frames is read; a
    // returned reason refuses the peer (its socket is closed, the listener's
    // handler hears nothing of it). Runs on a global queue, never on the IO
    // thread, so it may take its time.
    using PeerAdmission = std::function<std::optional<std::string>(const PeerCredentials&)>;

    enum Flags : std::uint64_t {
        kMachServiceListener = 1u << 0,
        // The system domain (root-owned service folder); else the user domain.
        kMachServicePrivileged = 1u << 1,
    };

    // targetQueue nullptr: a serial queue of the connection's own.
    static std::shared_ptr<Connection> createMachService(std::string_view name,
                                                         std::shared_ptr<dispatch::Queue> targetQueue,
                                                         std::uint64_t flags);
    static std::shared_ptr<Connection> create(std::string_view name, std::shared_ptr<dispatch::Queue> targetQueue);

    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void setEventHandler(EventHandler handler);
    // Set it before resume: events already on their way go to the old queue.
    void setTargetQueue(std::shared_ptr<dispatch::Queue> queue);
    void resume();
    // The handler then receives kConnectionInvalid exactly once, then nothing;
    // pending reply handlers get kConnectionInvalid. Idempotent.
    void cancel();

    void setContext(void* context);
    void* context() const;

    // One-way. A reply made with Dictionary::createReply from a request of
    // this connection goes back as the answer to that request.
    void sendMessage(const std::shared_ptr<Dictionary>& message);
    // The reply handler runs once on replyQueue (nullptr: the target queue)
    // with the reply Dictionary or an Error.
    void sendMessageWithReply(const std::shared_ptr<Dictionary>& message,
                              std::shared_ptr<dispatch::Queue> replyQueue, ReplyHandler handler);

    const std::string& name() const { return name_; }
    bool isListener() const { return role_ == Role::Listener; }
    bool isPeer() const { return role_ == Role::Peer; }

    // The kernel's credentials of the other end: of the client for a peer, of
    // the service (as of the last connect) for a client; empty for a listener.
    PeerCredentials credentials() const;
    uid_t euid() const { return credentials().euid; }
    gid_t egid() const { return credentials().egid; }
    pid_t pid() const { return credentials().pid; }
    std::vector<gid_t> groups() const { return credentials().groups; }
    int pidfd() const { return credentials().pidfd; }

    // Listener only; set it before resume.
    void setPeerAdmission(PeerAdmission admission);

    // Listener only: leaving as a socket-activated service does. Accepting
    // stops (clients not yet accepted wait in the socket, which the service
    // manager holds); every peer's reading side is shut once what its client
    // sent so far is read, so nothing sent before is lost and a later send
    // fails at once at the client; `drained` runs (on a global queue) when no
    // work is in flight any more (WorkInFlight.h). A listener that bound its
    // socket itself first removes the socket file and accepts its backlog.
    void stopAccepting(std::function<void()> drained);
    // Accepting again after stopAccepting; false when it cannot (the
    // listener closed the socket it had bound itself).
    bool resumeAccepting();

    // Why the connection failed (the service folder is unsafe, the socket
    // could not be bound or reached...), empty while nothing failed.
    std::string lastError() const;

    std::string description() const override;

    // Internal: the transport's own state, shared with its IO thread. Use the
    // factories above to make connections.
    struct Core;
    enum class Role { Client, Listener, Peer };
    Connection(Role role, std::string name, Domain domain, std::shared_ptr<dispatch::Queue> targetQueue);
    Core& core() const { return *core_; }

private:
    const Role role_;
    const std::string name_;
    std::unique_ptr<Core> core_;
};

} // namespace pf::xpc
