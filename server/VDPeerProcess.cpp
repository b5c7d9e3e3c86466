#include "server/VDPeerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <string_view>

#include "platform/codesign/FileAccess.h"

namespace {

// Bounds on what a peer controls: the size of its environment, the number
// of its descriptors. Over them the peer is not trusted, never read further.
constexpr std::size_t kMaxEnvironmentBytes = 1u << 20;
constexpr std::size_t kMaxStatusBytes = 64u << 10;
constexpr int kMaxDescriptorsScanned = 4096;

// The pid a pidfd refers to now, from its fdinfo; -1 once the process is gone.
pid_t pidOfPidfd(int pidfd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("Pid:", 0) == 0) return static_cast<pid_t>(std::stol(line.substr(4)));
    return -1;
}

// A process of another uid answers the signal-0 probe with EPERM (the
// daemon holds no CAP_KILL): it is there all the same.
bool processStillThere(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0 || errno == EPERM;
}

// The whole file, or nullopt when it cannot be read or is longer than max.
std::optional<std::string> readBounded(int directory, const std::string& leaf, std::size_t max) {
    std::string ignored; // the caller gives its own reason
    return pf::codesign::readRegularFileAt(directory, leaf, max, &ignored);
}

std::optional<std::string> readLink(int directory, const char* leaf) {
    char buffer[4096];
    const ssize_t n = ::readlinkat(directory, leaf, buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
}

} // namespace

std::optional<VDPeerProcess> VDPeerProcess::open(int pidfd, std::string* why) {
    const pid_t pid = pidfd >= 0 ? pidOfPidfd(pidfd) : -1;
    if (pid <= 0) {
        *why = pidfd < 0 ? "no pidfd for the peer" : "the peer process is gone";
        return std::nullopt;
    }
    pf::UniqueFd directory(::open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Still there under the same pid after the folder was opened: the
    // folder is that process's, not a later one's that reused the pid.
    if (!directory || !processStillThere(pidfd) || pidOfPidfd(pidfd) != pid) {
        *why = "the peer process cannot be reached";
        return std::nullopt;
    }
    return VDPeerProcess(std::move(directory));
}

std::optional<VDPeerProcess::Executable> VDPeerProcess::executable() const {
    Executable exe{pf::UniqueFd(::openat(directory_.get(), "exe", O_RDONLY | O_CLOEXEC)), {}};
    auto path = readLink(directory_.get(), "exe");
    if (!exe.fd || !path) return std::nullopt;
    exe.path = std::move(*path);
    return exe;
}

std::optional<std::string> VDPeerProcess::untrustworthy(ino_t socketInode) const {
    if (auto why = tracedReason()) return why;
    if (auto why = loaderReason()) return why;
    return socketReason(socketInode);
}

std::optional<std::string> VDPeerProcess::tracedReason() const {
    auto status = readBounded(directory_.get(), "status", kMaxStatusBytes);
    constexpr std::string_view kField = "\nTracerPid:";
    const std::size_t at = status ? status->find(kField) : std::string::npos;
    if (at == std::string::npos) return "its status cannot be read";
    if (std::strtol(status->c_str() + at + kField.size(), nullptr, 10) != 0) return "it is being traced";
    return std::nullopt;
}

std::optional<std::string> VDPeerProcess::loaderReason() const {
    auto environment = readBounded(directory_.get(), "environ", kMaxEnvironmentBytes);
    if (!environment) return "its environment cannot be read";
    constexpr std::array<std::string_view, 3> kLoaderVariables = {"LD_PRELOAD=", "LD_LIBRARY_PATH=", "LD_AUDIT="};
    for (std::size_t at = 0; at < environment->size();) {
        std::size_t end = environment->find('\0', at);
        if (end == std::string::npos) end = environment->size();
        const std::string_view entry(environment->data() + at, end - at);
        for (auto variable : kLoaderVariables)
            if (entry.starts_with(variable))
                return "it was started with " + std::string(variable.substr(0, variable.size() - 1));
        at = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> VDPeerProcess::socketReason(ino_t socketInode) const {
    // Unknown, the connection cannot be told apart from one made before an exec.
    if (socketInode == 0) return "its end of the connection cannot be identified";
    pf::UniqueFd fdFolder(::openat(directory_.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    pf::UniqueFd infoFolder(::openat(directory_.get(), "fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = fdFolder ? ::fdopendir(::fcntl(fdFolder.get(), F_DUPFD_CLOEXEC, 0)) : nullptr;
    if (!listing || !infoFolder) {
        if (listing) ::closedir(listing);
        return "its descriptors cannot be read";
    }
    const std::string target = "socket:[" + std::to_string(socketInode) + "]";
    std::optional<std::string> reason = "it does not hold its end of the connection";
    int scanned = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        if (++scanned > kMaxDescriptorsScanned) {
            reason = "it holds too many descriptors to check";
            break;
        }
        if (readLink(fdFolder.get(), entry->d_name) != target) continue;
        // fdinfo's "flags:" are octal open flags; O_CLOEXEC marks a
        // descriptor that the program which made it keeps to itself.
        auto info = readBounded(infoFolder.get(), entry->d_name, kMaxStatusBytes);
        const std::size_t at = info ? info->find("flags:") : std::string::npos;
        if (at == std::string::npos || !(std::strtoul(info->c_str() + at + 6, nullptr, 8) & O_CLOEXEC)) {
            reason = "its end of the connection survives exec";
            break;
        }
        reason.reset();
    }
    ::closedir(listing);
    return reason;
}
