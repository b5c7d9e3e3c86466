#include "platform/mach/RightsTransfer.h"

#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/xpc/Syscall.h"

namespace pf::mach {

namespace {

bool isPortEnd(int fd) {
    int domain = 0, type = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_UNIX) return false;
    length = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_SEQPACKET;
}

} // namespace

ssize_t sendWithRights(int fd, const void* bytes, std::size_t size, std::span<const int> rights) {
    if (rights.size() > kMaxRightsPerMessage) return -EINVAL;
    iovec iov{const_cast<void*>(bytes), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxRightsPerMessage)] = {};
    msghdr header{};
    header.msg_iov = &iov;
    header.msg_iovlen = 1;
    if (!rights.empty()) {
        header.msg_control = control;
        header.msg_controllen = CMSG_SPACE(sizeof(int) * rights.size());
        cmsghdr* cmsg = CMSG_FIRSTHDR(&header);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * rights.size());
        std::memcpy(CMSG_DATA(cmsg), rights.data(), sizeof(int) * rights.size());
    }
    return xpc::sys::retry([&] { return ::sendmsg(fd, &header, MSG_DONTWAIT | MSG_NOSIGNAL); });
}

Received receiveWithRights(int fd, void* buffer, std::size_t capacity, std::size_t* size,
                           std::vector<UniqueFd>* rights) {
    iovec iov{buffer, capacity};
    // Room for one descriptor more than allowed, so that an excess shows
    // (and is closed by us) rather than being dropped silently.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * (kMaxRightsPerMessage + 1))];
    msghdr header{};
    header.msg_iov = &iov;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t got = xpc::sys::retry([&] { return ::recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC); });
    if (got == -EAGAIN) return Received::NothingWaiting;
    if (got < 0) return Received::Closed;
    rights->clear();
    bool foreign = false;
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&header); cmsg; cmsg = CMSG_NXTHDR(&header, cmsg)) {
        if (cmsg->cmsg_level != SOL_SOCKET || cmsg->cmsg_type != SCM_RIGHTS) {
            foreign = true;
            continue;
        }
        const std::size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(cmsg) + i * sizeof(int), sizeof received);
            rights->emplace_back(received);
        }
    }
    if (got == 0 && rights->empty() && !foreign) {
        // An empty record, or the end: only the end leaves the socket hung up.
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP)) return Received::Closed;
    }
    bool refused = foreign || (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || rights->size() > kMaxRightsPerMessage;
    for (const auto& right : *rights) refused = refused || !isPortEnd(right.get());
    if (refused) {
        rights->clear();
        return Received::Refused;
    }
    *size = static_cast<std::size_t>(got);
    return Received::Message;
}

bool receiveWithRights(int fd, void* bytes, std::size_t size, std::vector<UniqueFd>* rights) {
    std::size_t got = 0;
    return receiveWithRights(fd, bytes, size, &got, rights) == Received::Message && got == size;
}

} // namespace pf::mach
