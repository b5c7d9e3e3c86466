#pragma once
// Mach-like ports over Unix-domain sockets.
//
// A port is a SOCK_SEQPACKET socket pair. Its receive right is one end (the
// "receive end"), held by one owner; a send right is the other end (the
// "send end"), of which any number of processes may hold a copy: every copy
// is the same socket, so messages from all senders queue, whole and in
// order per sender, at the receive end. Sending a right to another process
// passes the send end with SCM_RIGHTS.
//
// - Names: a process gives each port it knows one 32-bit name, as a Mach
//   task's name space does. A send right received again for a port already
//   known here (the same send-end socket) yields the same Port object and
//   name, so a service recognises a client's reply port on every request.
// - Dead names: when every holder of the receive end has closed it (the owner
//   invalidated the port or exited), the send end reports a hang-up; a
//   DeadNameSource turns that into an event.
// - Queue limit: all senders share the send end's buffer; a send waits for
//   room at most its time-out. The buffer is raised (where the process may) so
//   that the largest frame fits; otherwise larger frames fail with EMSGSIZE.
// - Receiving takes one frame per call and refuses, without harm, frames that
//   are not well formed, oversized, or carry other descriptors than the ones
//   they announce (at most one, and only a send end of a port); refused
//   frames are counted, not delivered.
// - invalidate() closes the rights this object holds and posts
//   "NSPortDidBecomeInvalidNotification" (object: the port) once, at once.
//
// Every descriptor is close-on-exec, including received ones.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/mach/PortMessage.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/UniqueFd.h"

namespace pf::mach {

inline constexpr const char* kPortDidBecomeInvalidNotification = "NSPortDidBecomeInvalidNotification";

class PortDelegate {
public:
    virtual ~PortDelegate() = default;
    virtual void handlePortMessage(std::shared_ptr<PortMessage> message) = 0;
};

class Port : public std::enable_shared_from_this<Port> {
    struct Passkey {};

public:
    // A new port with its receive right and a send right; nullptr (reason in
    // *why) when the sockets cannot be made.
    static std::shared_ptr<Port> create(std::string* why = nullptr);
    // The port of a send end (taken over), as known in this process.
    static std::shared_ptr<Port> withSendRight(UniqueFd sendEnd);
    // A port whose receive right was handed over (bootstrap check-in), with
    // the send end that names it.
    static std::shared_ptr<Port> withRights(UniqueFd receiveEnd, UniqueFd sendEnd);

    Port(Passkey, UniqueFd receiveEnd, UniqueFd sendEnd, ino_t identity);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    std::uint32_t name() const { return name_; }
    bool isValid() const;
    // The ends this object holds (nullptr when it holds none); a caller's
    // copy keeps the descriptor open while it uses it.
    std::shared_ptr<const UniqueFd> sendEnd() const;
    std::shared_ptr<const UniqueFd> receiveEnd() const;

    void invalidate();

    // The delegate gets the messages of a scheduled port; held weakly.
    void setDelegate(std::weak_ptr<PortDelegate> delegate);
    std::shared_ptr<PortDelegate> delegate() const;
    // Each time the receive end is readable, the loop takes one frame and
    // hands it to the delegate. One loop at a time; no-op without receive right.
    void scheduleInRunLoop(RunLoop& loop);
    void removeFromRunLoop();

    // One waiting frame: 0 with *out set; -EAGAIN when none waits; -EBADMSG
    // for a refused frame (dropped); -EPIPE when no sender can remain.
    int receive(std::shared_ptr<PortMessage>* out);
    std::uint64_t refusedFrames() const { return refused_.load(); }

private:
    void handleReadable();

    const std::uint32_t name_;
    const ino_t identity_;
    mutable std::mutex mutex_;
    std::shared_ptr<const UniqueFd> receiveEnd_;
    std::shared_ptr<const UniqueFd> sendEnd_;
    bool invalidated_ = false;
    std::weak_ptr<PortDelegate> delegate_;
    std::shared_ptr<RunLoop::Source> source_;
    std::atomic<std::uint64_t> refused_{0};
};

} // namespace pf::mach
