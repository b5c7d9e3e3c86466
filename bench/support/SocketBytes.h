#pragma once
// Whole reads and writes on a stream socket, for the baselines and the
// minimal responder: false when the peer closed or the socket failed.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>

#include "platform/system/Retry.h"

namespace vb {

inline bool readFully(int fd, void* bytes, std::size_t count) {
    auto* at = static_cast<char*>(bytes);
    while (count > 0) {
        const ssize_t n = pf::retryOnEintr([&] { return ::read(fd, at, count); });
        if (n <= 0) return false;
        at += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

inline bool writeFully(int fd, const void* bytes, std::size_t count) {
    const auto* at = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t n = pf::retryOnEintr([&] { return ::send(fd, at, count, MSG_NOSIGNAL); });
        if (n <= 0) return false;
        at += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace vb
