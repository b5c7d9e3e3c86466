#pragma once
// Who wrote the bytes of each read, from the kernel (SO_PASSCRED with
// SCM_CREDENTIALS): a process that shares a connected socket with the one
// the daemon admitted (a forked child, a process it passed the descriptor
// to) writes under its own pid, and the kernel never merges the bytes of two
// senders into one read. Credentials taken once at connect time describe
// only whoever connected.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace pf::xpc::detail {

struct Sender {
    pid_t pid = 0; // 0: the kernel recorded no sender for these bytes
    uid_t uid = static_cast<uid_t>(-1); // the sender's real uid
};

// Asks the kernel to record the sender of everything the socket receives
// from now on (and of what is already queued on a socket not yet accepted).
// -errno on failure.
int recordSenders(int socketFd);

// One non-blocking read of at most `length` bytes with their sender; as
// recv(2) but -errno on failure (EINTR retried).
ssize_t receiveWithSender(int socketFd, std::uint8_t* buffer, std::size_t length, Sender* sender);

} // namespace pf::xpc::detail
