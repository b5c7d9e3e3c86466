#include "platform/xpc/ServiceSocket.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "platform/xpc/PeerSocket.h"
#include "platform/xpc/SenderCredentials.h"
#include "platform/xpc/ServiceDirectory.h"
#include "platform/xpc/Syscall.h"

namespace pf::xpc {

std::optional<std::string> serviceDirectory(Domain domain, std::string* why) {
    std::string path;
    if (!detail::openServiceDirectory(domain, &path, why)) return std::nullopt;
    return path;
}

int bindServiceSocket(std::string_view serviceName, Domain domain, std::string* why,
                      std::optional<SocketFile>* bound) {
    const std::string leaf = detail::socketLeaf(serviceName);
    if (leaf.empty()) {
        if (why) *why = "\"" + std::string(serviceName) + "\" is no valid service name";
        return -1;
    }
    std::string folder;
    UniqueFd dir = detail::openServiceDirectory(domain, &folder, why);
    if (!dir) return -1;
    const std::string path = detail::descriptorPath(dir.get(), leaf);
    if (path.empty()) {
        if (why) *why = "socket path too long";
        return -1;
    }
    // A stale socket of an earlier run is replaced; anything else is left alone.
    struct stat st {};
    if (::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            if (why) *why = folder + "/" + leaf + " exists and is no socket";
            return -1;
        }
        ::unlinkat(dir.get(), leaf.c_str(), 0);
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        if (why) *why = sys::errorText("socket", errno);
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (why) *why = sys::errorText("bind " + folder + "/" + leaf, errno);
        return -1;
    }
    // System services admit peers by their credentials, so anyone may
    // connect; a user's services are the user's alone (and so is the folder).
    ::fchmodat(dir.get(), leaf.c_str(), domain == Domain::System ? 0666 : 0600, 0);
    if (bound && ::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode))
        *bound = SocketFile{folder + "/" + leaf, st.st_dev, st.st_ino};
    // Before listen: every accepted socket inherits it, so the sender of
    // each byte a peer sends is known from its very first byte.
    if (detail::recordSenders(fd.get()) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
        if (why) *why = sys::errorText("listen", errno);
        return -1;
    }
    return fd.release();
}

void removeSocketFile(const SocketFile& file) {
    struct stat st {};
    if (::lstat(file.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == file.device &&
        st.st_ino == file.inode)
        ::unlink(file.path.c_str());
}

int takeActivatedSocket(std::string_view serviceName) {
    const char* pid = ::getenv("LISTEN_PID");
    const char* fds = ::getenv("LISTEN_FDS");
    if (!pid || !fds || std::strtol(pid, nullptr, 10) != ::getpid()) return -1;
    const long count = std::strtol(fds, nullptr, 10);
    if (count < 1 || count > 64) return -1;
    std::vector<std::string> names;
    if (const char* list = ::getenv("LISTEN_FDNAMES")) {
        std::istringstream stream(list);
        for (std::string name; std::getline(stream, name, ':');) names.push_back(name);
    }
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    // The service socket is the first listening one under the service's name,
    // else the first listening one; a socket-diagnostics socket passed beside
    // it serves the peer checks.
    int named = -1, first = -1;
    for (long i = 0; i < count; ++i) {
        const int candidate = 3 + static_cast<int>(i);
        if (detail::adoptDiagnosticsSocket(candidate)) continue;
        struct stat st {};
        int listening = 0;
        socklen_t length = sizeof listening;
        if (::fstat(candidate, &st) != 0 || !S_ISSOCK(st.st_mode) ||
            ::getsockopt(candidate, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening)
            continue;
        if (first < 0) first = candidate;
        if (named < 0 && i < static_cast<long>(names.size()) && names[i] == serviceName) named = candidate;
    }
    const int fd = named >= 0 ? named : first;
    if (fd < 0) return -1;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    // Set by our launcher when it bound the socket (systemd: PassCredentials=yes);
    // set again for any other launcher, from now on.
    detail::recordSenders(fd);
    return fd;
}

} // namespace pf::xpc
