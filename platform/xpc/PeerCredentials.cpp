#include "platform/xpc/PeerCredentials.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "platform/xpc/Syscall.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace pf::xpc {

bool PeerCredentials::isMember(gid_t gid) const {
    return egid == gid || std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::optional<PeerCredentials> readPeerCredentials(int socketFd, int* pidfdOwned, std::string* why) {
    *pidfdOwned = -1;
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred) {
        if (why) *why = sys::errorText("SO_PEERCRED", errno);
        return std::nullopt;
    }
    PeerCredentials peer;
    peer.euid = cred.uid;
    peer.egid = cred.gid;
    peer.pid = cred.pid;
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 4; ++attempt) {
        socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
            groups.resize(bytes / sizeof(gid_t));
            peer.groups = std::move(groups);
            break;
        }
        if (errno != ERANGE || bytes / sizeof(gid_t) > 65536) break;
        groups.resize(bytes / sizeof(gid_t));
    }
    // The kernel's pidfd of the process that connected; where it has none,
    // one opened by pid, which is right as long as the peer still holds its
    // end of the socket (a recycled pid cannot have connected this socket).
    int pidfd = -1;
    length = sizeof pidfd;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0 || pidfd < 0) {
        pidfd = static_cast<int>(::syscall(SYS_pidfd_open, cred.pid, 0));
        if (pidfd >= 0) ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    }
    peer.pidfd = pidfd;
    *pidfdOwned = pidfd;
    return peer;
}

} // namespace pf::xpc
