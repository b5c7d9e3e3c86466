#include "platform/xpc/PeerSocket.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>
#include <mutex>

#include "platform/system/UniqueFd.h"
#include "platform/xpc/Syscall.h"

namespace pf::xpc::detail {

namespace {

struct AdoptedDiagnostics {
    std::mutex mutex; // one query at a time, so each reply answers its own request
    UniqueFd fd;
};

AdoptedDiagnostics& adopted() {
    static AdoptedDiagnostics diagnostics;
    return diagnostics;
}

ino_t queryPeerInode(int diag, ino_t inode);

} // namespace

bool adoptDiagnosticsSocket(int fd) {
    int domain = 0, protocol = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_NETLINK) return false;
    length = sizeof protocol;
    if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0 || protocol != NETLINK_SOCK_DIAG)
        return false;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::lock_guard lock(adopted().mutex);
    adopted().fd = UniqueFd(fd);
    return true;
}

ino_t peerSocketInode(int socketFd) {
    struct stat st {};
    if (::fstat(socketFd, &st) != 0) return 0;
    {
        std::lock_guard lock(adopted().mutex);
        if (adopted().fd) return queryPeerInode(adopted().fd.get(), st.st_ino);
    }
    UniqueFd diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag) return 0;
    return queryPeerInode(diag.get(), st.st_ino);
}

namespace {

ino_t queryPeerInode(int diag, ino_t inode) {
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_ino = static_cast<__u32>(inode);
    query.request.udiag_show = UDIAG_SHOW_PEER;
    query.request.udiag_cookie[0] = query.request.udiag_cookie[1] = ~0u; // no cookie: look up by inode
    if (sys::retry([&] { return ::send(diag, &query, sizeof query, 0); }) != sizeof query) return 0;
    alignas(nlmsghdr) char reply[4096];
    const ssize_t n = sys::retry([&] { return ::recv(diag, reply, sizeof reply, 0); });
    if (n <= 0) return 0;
    auto length = static_cast<unsigned>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(h, length); h = NLMSG_NEXT(h, length)) {
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) return 0;
        auto* message = static_cast<unix_diag_msg*>(NLMSG_DATA(h));
        if (message->udiag_ino != inode) continue;
        auto attributesLength = static_cast<unsigned>(h->nlmsg_len - NLMSG_LENGTH(sizeof *message));
        for (auto* a = reinterpret_cast<rtattr*>(message + 1); RTA_OK(a, attributesLength);
             a = RTA_NEXT(a, attributesLength)) {
            if (a->rta_type != UNIX_DIAG_PEER || RTA_PAYLOAD(a) < sizeof(__u32)) continue;
            __u32 peer = 0;
            std::memcpy(&peer, RTA_DATA(a), sizeof peer);
            return peer;
        }
    }
    return 0;
}

} // namespace

} // namespace pf::xpc::detail
