// The transport behind Connection: sockets on the shared IO thread, frames
// in and out, replies matched by id, events delivered in order on a serial
// queue in front of the target queue.
//
// Locking: each connection has one (recursive) mutex for its state. The IO
// thread takes it for each event; other threads take it to send or cancel.
// Descriptors are detached under the lock and closed after the IO loop let
// go of them, so no callback ever sees a descriptor that was reused.
#include "platform/xpc/Connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "platform/xpc/IoLoop.h"
#include "platform/xpc/Limits.h"
#include "platform/xpc/PeerSlot.h"
#include "platform/xpc/PeerSocket.h"
#include "platform/xpc/ReplyRoute.h"
#include "platform/xpc/SenderCredentials.h"
#include "platform/xpc/ServiceDirectory.h"
#include "platform/xpc/Syscall.h"
#include "platform/system/UniqueFd.h"
#include "platform/xpc/Wire.h"
#include "platform/xpc/WorkInFlight.h"

namespace pf::xpc {

namespace {

using detail::IoLoop;

struct PendingReply {
    std::shared_ptr<dispatch::Queue> queue;
    Connection::ReplyHandler handler;
    std::uint64_t generation = 0;
};

// Times in a row a client sends again the frames a lost socket never took.
constexpr int kMaxResends = 3;

} // namespace

struct Connection::Core {
    std::recursive_mutex mutex;
    Domain domain = Domain::User;
    std::shared_ptr<dispatch::Queue> target;
    std::shared_ptr<dispatch::Queue> events; // serial, in front of target
    EventHandler handler;
    void* context = nullptr;
    PeerAdmission admission;
    std::string lastError;

    bool resumed = false;
    bool cancelled = false;
    bool invalidSent = false;

    int fd = -1;
    std::uint64_t ioId = 0;
    std::uint64_t generation = 1;
    std::shared_ptr<Connection> keepAlive; // while the IO thread serves it

    // Frames.
    std::vector<std::uint8_t> in;
    std::deque<std::vector<std::uint8_t>> out;
    std::size_t outOffset = 0;
    std::size_t outBytes = 0;
    bool wantWrite = false;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, PendingReply> pending;
    std::size_t inFlight = 0;
    bool readPaused = false;
    bool parsing = false;

    PeerCredentials credentials;
    UniqueFd pidfd;
    std::unique_ptr<detail::PeerSlot> slot; // a peer's share of the connections
    int resends = 0; // of a client's unsent frames, since a frame last left whole

    // Work in flight (WorkInFlight.h): a peer not yet serving, bytes not yet
    // written, input shut by a drain and not yet read to its end.
    detail::WorkFlag starting, writing, reading;
    bool inputShut = false; // our reading side was shut down (a drain)
    bool inputDone = false; // and everything sent before it was read

    // Listener: its peers, to drain them; while draining it accepts nothing,
    // and a socket file it bound itself is removed first.
    std::vector<std::weak_ptr<Connection>> peers;
    bool draining = false;
    std::optional<SocketFile> ownSocketFile;
};

namespace {

// Work to do once the lock is given up: deliveries and descriptors to close.
struct Aftermath {
    std::vector<std::function<void()>> tasks;
    void run() {
        for (auto& t : tasks) t();
    }
};

std::uint32_t interest(const Connection::Core& c) {
    std::uint32_t events = 0;
    // A shut input stays readable (EOF) for good: it is not watched once read.
    if (!c.readPaused && !c.inputDone) events |= EPOLLIN | EPOLLRDHUP;
    if (c.wantWrite) events |= EPOLLOUT;
    return events;
}

} // namespace

Connection::Connection(Role role, std::string name, Domain domain, std::shared_ptr<dispatch::Queue> targetQueue)
    : role_(role), name_(std::move(name)), core_(std::make_unique<Core>()) {
    core_->domain = domain;
    core_->target = targetQueue ? std::move(targetQueue) : dispatch::Queue::serial("xpc." + name_);
    core_->events = dispatch::Queue::serial("xpc.events." + name_, core_->target);
}

Connection::~Connection() {
    if (core_->fd >= 0) ::close(core_->fd);
}

// ---------------------------------------------------------------- helpers shared by the roles

namespace {

// Queues an event for the handler; after kConnectionInvalid nothing more.
void deliver(const std::shared_ptr<Connection>& self, Connection::Core& c, std::shared_ptr<Object> event,
             Aftermath& after) {
    if (c.invalidSent) return;
    const bool last = event == kConnectionInvalid;
    if (last) c.invalidSent = true;
    auto queue = c.events;
    after.tasks.push_back([self, queue, event = std::move(event), last] {
        queue->async([self, event, last] {
            Connection::EventHandler handler;
            {
                std::lock_guard lock(self->core().mutex);
                handler = self->core().handler;
                if (last) self->core().handler = nullptr;
            }
            if (handler) handler(event);
        });
    });
}

void failReplies(std::map<std::uint64_t, PendingReply> pending, const std::shared_ptr<dispatch::Queue>& target,
                 const std::shared_ptr<Object>& error, Aftermath& after) {
    for (auto& [id, p] : pending) {
        auto queue = p.queue ? p.queue : target;
        after.tasks.push_back([queue, handler = std::move(p.handler), error] { queue->async([handler, error] { handler(error); }); });
    }
}

void failPending(Connection::Core& c, const std::shared_ptr<Object>& error, Aftermath& after) {
    auto pending = std::move(c.pending);
    c.pending.clear();
    failReplies(std::move(pending), c.target, error, after);
}

// Detaches the socket from the connection; it is closed once the IO loop let go.
void detachSocket(Connection::Core& c, Aftermath& after) {
    if (c.fd < 0) return;
    const int fd = c.fd;
    const std::uint64_t id = c.ioId;
    c.fd = -1;
    c.ioId = 0;
    ++c.generation;
    c.in.clear();
    c.out.clear();
    c.outOffset = c.outBytes = 0;
    c.wantWrite = false;
    c.inFlight = 0;
    c.readPaused = false;
    c.inputShut = c.inputDone = false;
    c.writing.set(false);
    c.reading.set(false);
    auto keep = std::move(c.keepAlive);
    after.tasks.push_back([fd, id, keep] {
        if (id) IoLoop::shared().remove(id, fd);
        ::close(fd);
    });
}

using Frames = std::deque<std::vector<std::uint8_t>>;
void resendUnsent(const std::shared_ptr<Connection>& self, Frames frames, std::map<std::uint64_t, PendingReply> held);

// A client's requests whose frames never left whole were never seen by the
// service (one draining for its idle exit shuts its reading side, so a later
// send fails before a byte of it arrives). They go again on a new connection,
// where the service's next start reads them, rather than fail as
// interrupted; a few times in a row at most, so a service that keeps
// dropping us is not asked forever.
void holdUnsentForResend(const std::shared_ptr<Connection>& self, Connection::Core& c, Frames unsent,
                         Aftermath& after) {
    if (unsent.empty() || c.cancelled || c.resends >= kMaxResends) return;
    ++c.resends;
    Frames frames;
    std::map<std::uint64_t, PendingReply> held;
    for (auto& frame : unsent) {
        std::string why;
        const auto header = wire::parseHeader(frame.data(), &why);
        if (!header || (header->flags & wire::kIsReply)) continue; // an answer belongs to the old connection
        if (auto it = c.pending.find(header->messageId); it != c.pending.end()) {
            held.insert(c.pending.extract(it));
        }
        frames.push_back(std::move(frame));
    }
    after.tasks.push_back([self, frames = std::move(frames), held = std::move(held)]() mutable {
        // Connecting may wait (a full backlog): never on the IO thread.
        dispatch::Queue::global()->async([self, frames = std::move(frames), held = std::move(held)]() mutable {
            resendUnsent(self, std::move(frames), std::move(held));
        });
    });
}

// The socket went away (closed, failed, or sent a bad frame).
void lostSocket(const std::shared_ptr<Connection>& self, Connection::Core& c, Aftermath& after) {
    if (c.fd < 0) return;
    if (self->isPeer()) {
        detachSocket(c, after);
        failPending(c, kConnectionInvalid, after);
        deliver(self, c, kConnectionInvalid, after);
        return;
    }
    auto unsent = std::move(c.out);
    detachSocket(c, after);
    holdUnsentForResend(self, c, std::move(unsent), after);
    failPending(c, kConnectionInterrupted, after);
    deliver(self, c, kConnectionInterrupted, after);
}

// Writes what it can without blocking; false when the socket failed.
bool flush(Connection::Core& c) {
    while (!c.out.empty()) {
        auto& front = c.out.front();
        const std::uint8_t* from = front.data() + c.outOffset;
        const std::size_t size = front.size() - c.outOffset;
        const ssize_t n = sys::retry([&] { return ::send(c.fd, from, size, MSG_NOSIGNAL | MSG_DONTWAIT); });
        if (n == -EAGAIN || n == -EWOULDBLOCK) break;
        if (n < 0) return false;
        c.outOffset += static_cast<std::size_t>(n);
        c.outBytes -= static_cast<std::size_t>(n);
        if (c.outOffset == front.size()) {
            c.out.pop_front();
            c.outOffset = 0;
            c.resends = 0;
        }
    }
    const bool want = !c.out.empty();
    c.writing.set(want);
    if (want != c.wantWrite) {
        c.wantWrite = want;
        if (c.ioId) IoLoop::shared().modify(c.ioId, c.fd, interest(c));
    }
    return true;
}

// Queues a frame; a peer that lets too much pile up is dropped.
bool enqueue(const std::shared_ptr<Connection>& self, Connection::Core& c, std::vector<std::uint8_t> frame,
             Aftermath& after) {
    if (c.fd < 0) return false;
    if (c.outBytes + frame.size() > kMaxOutgoingBytes) {
        c.lastError = "the peer does not read what it is sent";
        lostSocket(self, c, after);
        return false;
    }
    c.outBytes += frame.size();
    c.out.push_back(std::move(frame));
    c.writing.set(true);
    if (!c.wantWrite && !flush(c)) {
        lostSocket(self, c, after);
        return false;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------- reading

namespace {

void handleFrame(const std::shared_ptr<Connection>& self, Connection::Core& c, const wire::FrameHeader& header,
                 std::shared_ptr<Dictionary> message, Aftermath& after) {
    if (header.flags & wire::kIsReply) {
        auto it = c.pending.find(header.replyTo);
        if (it == c.pending.end() || it->second.generation != c.generation) return; // nothing asked for it
        PendingReply p = std::move(it->second);
        c.pending.erase(it);
        auto route = std::make_shared<detail::ReplyRoute>();
        route->connection = self;
        route->generation = c.generation;
        message->setRoute(std::move(route));
        auto queue = p.queue ? p.queue : c.target;
        after.tasks.push_back([queue, handler = std::move(p.handler), message] {
            queue->async([handler, message] { handler(message); });
        });
        return;
    }
    auto route = std::make_shared<detail::ReplyRoute>();
    route->connection = self;
    route->messageId = header.messageId;
    route->generation = c.generation;
    route->wantsReply = (header.flags & wire::kWantsReply) != 0;
    route->slot = std::make_shared<detail::InFlightSlot>(self, c.generation);
    ++c.inFlight;
    if (c.inFlight >= kMaxFramesInFlight && !c.readPaused) {
        c.readPaused = true;
        IoLoop::shared().modify(c.ioId, c.fd, interest(c));
    }
    message->setRoute(std::move(route));
    deliver(self, c, std::move(message), after);
}

// Takes every whole frame out of the input buffer; false for a malformed one.
bool parseFrames(const std::shared_ptr<Connection>& self, Connection::Core& c, Aftermath& after) {
    if (c.parsing) return true;
    c.parsing = true;
    std::size_t at = 0;
    bool ok = true;
    while (c.in.size() - at >= wire::kHeaderBytes) {
        std::string why;
        auto header = wire::parseHeader(c.in.data() + at, &why);
        if (!header) {
            c.lastError = "malformed frame: " + why;
            ok = false;
            break;
        }
        if (c.in.size() - at - wire::kHeaderBytes < header->length) break;
        auto message = wire::decodePayload(
            std::span<const std::uint8_t>(c.in.data() + at + wire::kHeaderBytes, header->length), &why);
        if (!message) {
            c.lastError = "malformed frame: " + why;
            ok = false;
            break;
        }
        at += wire::kHeaderBytes + header->length;
        handleFrame(self, c, *header, std::move(message), after);
        if (c.readPaused) break;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
    c.parsing = false;
    return ok;
}

// A drained peer read to its end: every frame its client sent before the
// drain is parsed (a partial one at the end was never sent whole, and its
// client learns so from its failed send). The socket stays for the replies.
void endDrainedInput(Connection::Core& c) {
    c.inputDone = true;
    c.reading.set(false);
    IoLoop::shared().modify(c.ioId, c.fd, interest(c));
}

void onSocketEvent(const std::weak_ptr<Connection>& weak, std::uint32_t events) {
    auto self = weak.lock();
    if (!self) return;
    auto& c = self->core();
    Aftermath after;
    {
        std::lock_guard lock(c.mutex);
        if (c.fd < 0) return;
        bool lost = false;
        if (events & EPOLLOUT) lost = !flush(c);
        if (c.inputDone) {
            // Only replies go out now; a hang-up means the client has gone.
            if (events & (EPOLLHUP | EPOLLERR)) lost = true;
        } else if (!lost && (events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) && !c.readPaused) {
            // Frames already buffered first: reading may have paused on them.
            if (!parseFrames(self, c, after)) lost = true;
            std::uint8_t buffer[64 * 1024];
            for (int round = 0; !lost && !c.readPaused && round < 16; ++round) {
                detail::Sender sender;
                const ssize_t n =
                    self->isPeer() ? detail::receiveWithSender(c.fd, buffer, sizeof buffer, &sender)
                                   : sys::retry([&] { return ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT); });
                if (n == -EAGAIN || n == -EWOULDBLOCK) break;
                if (n == 0 && c.inputShut) {
                    endDrainedInput(c);
                    break;
                }
                if (n <= 0) {
                    lost = true;
                    break;
                }
                // Every byte a peer reads must come from the process admitted;
                // a frame spanning reads is checked in each of them.
                if (self->isPeer() && (sender.pid != c.credentials.pid || sender.uid != c.credentials.euid)) {
                    c.lastError = "bytes sent by pid " + std::to_string(sender.pid) + " uid " +
                                  std::to_string(sender.uid) + ", not by the process admitted";
                    lost = true;
                    break;
                }
                c.in.insert(c.in.end(), buffer, buffer + n);
                if (!parseFrames(self, c, after)) lost = true;
            }
        } else if (!lost && (events & (EPOLLHUP | EPOLLERR)) && c.readPaused) {
            lost = true;
        }
        if (lost) lostSocket(self, c, after);
    }
    after.run();
}

// Starts watching a connected socket (the caller holds the lock).
void watch(const std::shared_ptr<Connection>& self, Connection::Core& c) {
    std::weak_ptr<Connection> weak = self;
    c.keepAlive = self;
    c.ioId = IoLoop::shared().add(c.fd, interest(c), [weak](std::uint32_t events) { onSocketEvent(weak, events); });
}

} // namespace

// The in-flight slot of a received frame: when it frees room, reading
// resumes, starting with the frames already buffered (the socket may have
// nothing more to say, so no readiness event would bring them). A release
// from inside parseFrames (same thread, recursive lock) only unpauses; the
// running parse goes on with the buffered frames itself.
void detail::InFlightSlot::release() {
    if (released_.exchange(true)) return;
    struct Finished {
        ~Finished() { finishWork(); } // after the frames it let in are counted
    } finished;
    auto connection = connection_.lock();
    if (!connection) return;
    auto& c = connection->core();
    Aftermath after;
    {
        std::lock_guard lock(c.mutex);
        if (c.generation != generation_ || c.inFlight == 0) return;
        --c.inFlight;
        if (c.readPaused && c.inFlight < kMaxFramesInFlight) {
            c.readPaused = false;
            if (!c.parsing && !parseFrames(connection, c, after)) {
                lostSocket(connection, c, after);
            } else if (c.ioId) {
                IoLoop::shared().modify(c.ioId, c.fd, interest(c));
            }
        }
    }
    after.run();
}

namespace {

// ---------------------------------------------------------------- client connect

// Connects a client; false with the error kind when it cannot.
bool connectClient(Connection& self, Connection::Core& c, bool* nameMissing) {
    *nameMissing = false;
    std::string folder, why;
    const std::string leaf = detail::socketLeaf(self.name());
    if (leaf.empty()) {
        c.lastError = "\"" + self.name() + "\" is no valid service name";
        *nameMissing = true;
        return false;
    }
    UniqueFd dir = detail::openServiceDirectory(c.domain, &folder, &why);
    if (!dir) {
        c.lastError = why;
        *nameMissing = true;
        return false;
    }
    const std::string path = detail::descriptorPath(dir.get(), leaf);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), std::min(path.size() + 1, sizeof address.sun_path - 1));
    const int rc = sys::retry([&] { return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address); });
    if (rc < 0) {
        c.lastError = sys::errorText("connect " + folder + "/" + leaf, -rc);
        *nameMissing = rc == -ENOENT;
        return false;
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    int pidfd = -1;
    if (auto creds = readPeerCredentials(fd.get(), &pidfd, &why)) c.credentials = *creds;
    c.pidfd.reset(pidfd);
    c.fd = fd.release();
    c.lastError.clear();
    return true;
}

} // namespace

// ---------------------------------------------------------------- factories

std::shared_ptr<Connection> Connection::createMachService(std::string_view name,
                                                          std::shared_ptr<dispatch::Queue> targetQueue,
                                                          std::uint64_t flags) {
    const Domain domain = (flags & kMachServicePrivileged) ? Domain::System : Domain::User;
    if (!(flags & kMachServiceListener))
        return std::make_shared<Connection>(Role::Client, std::string(name), domain, std::move(targetQueue));
    auto listener = std::make_shared<Connection>(Role::Listener, std::string(name), domain, std::move(targetQueue));
    auto& c = listener->core();
    int fd = takeActivatedSocket(name);
    if (fd < 0) {
        fd = bindServiceSocket(name, domain, &c.lastError, &c.ownSocketFile);
    }
    c.fd = fd;
    return listener;
}

std::shared_ptr<Connection> Connection::create(std::string_view name, std::shared_ptr<dispatch::Queue> targetQueue) {
    return std::make_shared<Connection>(Role::Client, std::string(name), Domain::User, std::move(targetQueue));
}

// ---------------------------------------------------------------- listener

namespace {

bool takeSlot(Connection& peer) {
    std::lock_guard lock(peer.core().mutex);
    return peer.core().slot->admit();
}

void admitPeer(const std::shared_ptr<Connection>& listener, std::shared_ptr<Connection> peer) {
    Connection::PeerAdmission admission;
    {
        std::lock_guard lock(listener->core().mutex);
        admission = listener->core().admission;
    }
    auto hand = [listener, peer] {
        Aftermath after;
        {
            std::lock_guard lock(listener->core().mutex);
            if (listener->core().cancelled) return;
            deliver(listener, listener->core(), peer, after);
        }
        after.run();
    };
    if (!admission) {
        if (takeSlot(*peer))
            hand();
        else
            peer->cancel();
        return;
    }
    dispatch::Queue::global()->async([admission, peer, hand] {
        if (admission(peer->credentials()) || !takeSlot(*peer)) {
            peer->cancel();
            return;
        }
        hand();
    });
}

// Ends the reading side of a peer being drained. Whatever its client sent
// before is still read and served; a later send fails at the client before a
// byte of it reached us, so its client transport knows to send it again (to
// the service socket, where the next start of the service finds it).
void shutInput(Connection& peer) {
    auto& c = peer.core();
    std::lock_guard lock(c.mutex);
    if (c.fd < 0 || c.inputShut) return;
    c.inputShut = true;
    c.reading.set(true);
    ::shutdown(c.fd, SHUT_RD);
}

void registerPeer(Connection& listener, const std::shared_ptr<Connection>& peer) {
    bool draining;
    {
        std::lock_guard lock(listener.core().mutex);
        auto& peers = listener.core().peers;
        std::erase_if(peers, [](const std::weak_ptr<Connection>& p) { return p.expired(); });
        peers.push_back(peer);
        draining = listener.core().draining;
    }
    if (draining) shutInput(*peer);
}

void onAccept(const std::weak_ptr<Connection>& weak) {
    auto listener = weak.lock();
    if (!listener) return;
    for (int round = 0; round < 64; ++round) {
        int fd;
        {
            std::lock_guard lock(listener->core().mutex);
            if (listener->core().fd < 0) return;
            fd = ::accept4(listener->core().fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        }
        if (fd < 0) return;
        UniqueFd socket(fd);
        std::string why;
        int pidfd = -1;
        auto creds = detail::recordSenders(fd) == 0 ? readPeerCredentials(fd, &pidfd, &why) : std::nullopt;
        UniqueFd ownedPidfd(pidfd);
        auto slot = creds ? detail::PeerSlot::reserve(creds->euid) : nullptr;
        if (!slot) continue;
        creds->socketInode = detail::peerSocketInode(fd);
        auto peer = std::make_shared<Connection>(Connection::Role::Peer, listener->name(), listener->core().domain, nullptr);
        auto& c = peer->core();
        c.credentials = *creds;
        c.pidfd = std::move(ownedPidfd);
        c.fd = socket.release();
        c.slot = std::move(slot);
        c.starting.set(true);
        registerPeer(*listener, peer);
        admitPeer(listener, std::move(peer));
    }
}

std::uint64_t watchAccepts(const std::shared_ptr<Connection>& listener, int fd) {
    std::weak_ptr<Connection> weak = listener;
    return IoLoop::shared().add(fd, EPOLLIN, [weak](std::uint32_t) { onAccept(weak); });
}

} // namespace

// ---------------------------------------------------------------- operations

void Connection::setEventHandler(EventHandler handler) {
    std::lock_guard lock(core_->mutex);
    if (!core_->invalidSent) core_->handler = std::move(handler);
}

void Connection::setTargetQueue(std::shared_ptr<dispatch::Queue> queue) {
    std::lock_guard lock(core_->mutex);
    if (!queue) return;
    core_->target = queue;
    core_->events = dispatch::Queue::serial("xpc.events." + name_, std::move(queue));
}

void Connection::resume() {
    auto self = shared_from_this();
    Aftermath after;
    {
        std::lock_guard lock(core_->mutex);
        auto& c = *core_;
        if (c.resumed || c.cancelled) return;
        c.resumed = true;
        switch (role_) {
        case Role::Listener:
            if (c.fd < 0) {
                deliver(self, c, kConnectionInvalid, after);
                break;
            }
            c.keepAlive = self;
            c.ioId = watchAccepts(self, c.fd);
            break;
        case Role::Peer:
            if (c.fd >= 0) watch(self, c);
            c.starting.set(false);
            break;
        case Role::Client: {
            bool missing = false;
            if (connectClient(*this, c, &missing)) {
                watch(self, c);
            } else if (missing) {
                c.cancelled = true;
                deliver(self, c, kConnectionInvalid, after);
            }
            break;
        }
        }
    }
    after.run();
}

void Connection::cancel() {
    auto self = shared_from_this();
    Aftermath after;
    {
        std::lock_guard lock(core_->mutex);
        auto& c = *core_;
        if (c.cancelled && c.invalidSent) return;
        c.cancelled = true;
        if (c.fd >= 0 && c.ioId == 0) {
            // Never watched (a refused or unresumed peer, a listener never resumed).
            ::close(c.fd);
            c.fd = -1;
        }
        detachSocket(c, after);
        c.starting.set(false);
        c.reading.set(false);
        c.keepAlive.reset();
        failPending(c, kConnectionInvalid, after);
        deliver(self, c, kConnectionInvalid, after);
    }
    after.run();
}

void Connection::stopAccepting(std::function<void()> drained) {
    if (role_ != Role::Listener) return;
    std::uint64_t id = 0;
    int fd = -1;
    std::vector<std::weak_ptr<Connection>> peers;
    {
        std::lock_guard lock(core_->mutex);
        auto& c = *core_;
        c.draining = true;
        std::swap(id, c.ioId);
        fd = c.fd;
    }
    // Once removed, no accept runs any more: every peer is registered.
    if (id) IoLoop::shared().remove(id, fd);
    if (fd >= 0 && core_->ownSocketFile) {
        // No manager holds this socket to start us again, so a client must
        // not be left in its backlog: the name goes first (a later client
        // finds no service), then the backlog is accepted and served, and
        // the socket is closed. Such a listener does not accept again.
        removeSocketFile(*core_->ownSocketFile);
        pollfd pending{fd, POLLIN, 0};
        for (int round = 0; round < 64 && ::poll(&pending, 1, 0) == 1; ++round) onAccept(weak_from_this());
        std::lock_guard lock(core_->mutex);
        ::close(core_->fd);
        core_->fd = -1;
    }
    {
        std::lock_guard lock(core_->mutex);
        peers = core_->peers;
    }
    for (const auto& weak : peers)
        if (auto peer = weak.lock()) shutInput(*peer);
    whenNoWorkInFlight(std::move(drained));
}

bool Connection::resumeAccepting() {
    if (role_ != Role::Listener) return false;
    std::lock_guard lock(core_->mutex);
    auto& c = *core_;
    if (!c.resumed || c.cancelled || c.fd < 0) return false;
    c.draining = false;
    if (c.ioId == 0) c.ioId = watchAccepts(shared_from_this(), c.fd);
    return c.ioId != 0;
}

void Connection::setContext(void* context) {
    std::lock_guard lock(core_->mutex);
    core_->context = context;
}

void* Connection::context() const {
    std::lock_guard lock(core_->mutex);
    return core_->context;
}

namespace {

// A client not connected (yet, or since an interruption) connects now.
bool ensureConnected(const std::shared_ptr<Connection>& self, Connection::Core& c, Aftermath& after) {
    if (c.fd >= 0) return true;
    if (!self->isListener() && self->isPeer()) return false;
    if (!c.resumed || c.cancelled) return false;
    bool missing = false;
    if (connectClient(*self, c, &missing)) {
        watch(self, c);
        return true;
    }
    if (missing) {
        c.cancelled = true;
        failPending(c, kConnectionInvalid, after);
        deliver(self, c, kConnectionInvalid, after);
    }
    return false;
}

void resendUnsent(const std::shared_ptr<Connection>& self, Frames frames, std::map<std::uint64_t, PendingReply> held) {
    auto& c = self->core();
    Aftermath after;
    {
        std::lock_guard lock(c.mutex);
        if (ensureConnected(self, c, after)) {
            for (auto& [id, p] : held) {
                p.generation = c.generation;
                c.pending[id] = std::move(p);
            }
            held.clear();
            for (auto& frame : frames) {
                c.outBytes += frame.size();
                c.out.push_back(std::move(frame));
            }
            c.writing.set(!c.out.empty());
            if (!flush(c)) lostSocket(self, c, after); // lost again: held again, or failed
        }
        failReplies(std::move(held), c.target, c.cancelled ? kConnectionInvalid : kConnectionInterrupted, after);
    }
    after.run();
}

} // namespace

void Connection::sendMessage(const std::shared_ptr<Dictionary>& message) {
    if (!message || role_ == Role::Listener) return;
    auto self = shared_from_this();
    Aftermath after;
    std::shared_ptr<detail::InFlightSlot> slot;
    {
        std::lock_guard lock(core_->mutex);
        auto& c = *core_;
        std::uint32_t flags = 0;
        std::uint64_t replyTo = 0;
        if (message->isReply()) {
            const auto& route = message->route();
            // Only to the connection (and socket) the request came on.
            if (!route || route->connection.lock() != self || route->generation != c.generation) return;
            flags = wire::kIsReply;
            replyTo = route->messageId;
            slot = route->slot;
        } else if (c.cancelled || !ensureConnected(self, c, after)) {
            after.run();
            return;
        }
        if (c.fd >= 0) {
            if (auto frame = wire::encodeFrame(*message, flags, c.nextId++, replyTo))
                enqueue(self, c, std::move(*frame), after);
        }
    }
    if (slot) slot->release();
    after.run();
}

void Connection::sendMessageWithReply(const std::shared_ptr<Dictionary>& message,
                                      std::shared_ptr<dispatch::Queue> replyQueue, ReplyHandler handler) {
    if (!handler) return;
    auto self = shared_from_this();
    Aftermath after;
    {
        std::lock_guard lock(core_->mutex);
        auto& c = *core_;
        auto queue = replyQueue ? replyQueue : c.target;
        auto fail = [&](std::shared_ptr<Object> error) {
            after.tasks.push_back([queue, handler, error] { queue->async([handler, error] { handler(error); }); });
        };
        if (!message || role_ == Role::Listener || message->isReply()) {
            fail(kConnectionInvalid);
        } else if (c.cancelled) {
            fail(kConnectionInvalid);
        } else if (!ensureConnected(self, c, after)) {
            fail(c.cancelled ? kConnectionInvalid : kConnectionInterrupted);
        } else {
            const std::uint64_t id = c.nextId++;
            auto frame = wire::encodeFrame(*message, wire::kWantsReply, id, 0);
            if (!frame) {
                fail(kConnectionInvalid);
            } else {
                c.pending[id] = PendingReply{queue, handler, c.generation};
                enqueue(self, c, std::move(*frame), after); // a failure fails the pending reply
            }
        }
    }
    after.run();
}

PeerCredentials Connection::credentials() const {
    std::lock_guard lock(core_->mutex);
    return core_->credentials;
}

void Connection::setPeerAdmission(PeerAdmission admission) {
    std::lock_guard lock(core_->mutex);
    core_->admission = std::move(admission);
}

std::string Connection::lastError() const {
    std::lock_guard lock(core_->mutex);
    return core_->lastError;
}

std::string Connection::description() const {
    const char* role = role_ == Role::Listener ? "listener" : role_ == Role::Peer ? "peer" : "client";
    return "<connection: " + std::string(role) + " " + name_ + ">";
}

} // namespace pf::xpc
