#include "platform/xpc/ServiceDirectory.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/xpc/Syscall.h"

namespace pf::xpc::detail {

namespace {

constexpr std::size_t kMaxServiceNameBytes = 200;

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// System domain ancestors: changed by root alone, or sticky (as /tmp), where
// nobody but root can rename or remove root's entries.
std::string unsafeAncestor(const struct stat& st) {
    if (st.st_uid != 0) return "not owned by root (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & 022) && !(st.st_mode & S_ISVTX))
        return "writable by others than root (mode " + octal(st.st_mode) + ")";
    return {};
}

std::string unsafeFolder(Domain domain, const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) return "not a folder";
    const uid_t owner = domain == Domain::System ? 0 : ::geteuid();
    if (st.st_uid != owner)
        return "not owned by " + std::string(domain == Domain::System ? "root" : "the user") + " (uid " +
               std::to_string(st.st_uid) + ")";
    if (st.st_mode & 022)
        return "writable by others than " + std::string(domain == Domain::System ? "root" : "its owner") +
               " (mode " + octal(st.st_mode) + ")";
    return {};
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

} // namespace

std::string serviceDirectoryPath(Domain domain) {
    if (domain == Domain::System) {
        const char* dir = std::getenv("VICAR_SYSTEM_SERVICE_DIR");
        return dir && *dir ? dir : "/run/vicar/services";
    }
    if (const char* dir = std::getenv("VICAR_USER_SERVICE_DIR"); dir && *dir) return dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/vicar/services";
    return "/run/user/" + std::to_string(::geteuid()) + "/vicar/services";
}

UniqueFd openServiceDirectory(Domain domain, std::string* pathOut, std::string* why) {
    const std::string path = serviceDirectoryPath(domain);
    if (pathOut) *pathOut = path;
    auto fail = [&](const std::string& reason) {
        if (why) *why = "service folder " + path + ": " + reason;
        return UniqueFd();
    };
    if (path.empty() || path[0] != '/') return fail("not an absolute path");
    const std::vector<std::string> parts = components(path);
    for (const auto& part : parts)
        if (part == "..") return fail("contains \"..\"");

    const mode_t createMode = domain == Domain::System ? 0755 : 0700;
    UniqueFd dir(sys::retry([] { return ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!dir) return fail(sys::errorText("open /", errno));
    std::string walked;
    for (const auto& part : parts) {
        struct stat st {};
        if (::fstat(dir.get(), &st) != 0) return fail(sys::errorText("fstat " + walked, errno));
        if (domain == Domain::System) {
            if (std::string reason = unsafeAncestor(st); !reason.empty())
                return fail((walked.empty() ? "/" : walked) + " is " + reason);
        }
        walked += "/" + part;
        const int parent = dir.get();
        int fd = sys::retry([&] { return ::openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
        if (fd == -ENOENT) {
            const int made = sys::retry([&] { return ::mkdirat(parent, part.c_str(), createMode); });
            if (made < 0 && made != -EEXIST) return fail(sys::errorText("create " + walked, -made));
            fd = sys::retry([&] { return ::openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
            // The umask may have taken bits away; a folder we made gets the
            // mode of the domain (never more).
            if (fd >= 0 && made == 0) ::fchmod(fd, createMode);
        }
        if (fd < 0) {
            struct stat link {};
            if (::fstatat(parent, part.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))
                return fail(walked + " is a symbolic link");
            return fail(sys::errorText("open " + walked, -fd));
        }
        dir.reset(fd);
    }
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0) return fail(sys::errorText("fstat", errno));
    if (std::string reason = unsafeFolder(domain, st); !reason.empty()) return fail(reason);
    return dir;
}

std::string socketLeaf(std::string_view name) {
    if (name.empty() || name.size() > kMaxServiceNameBytes || name.front() == '.') return {};
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return {};
    }
    return std::string(name) + ".sock";
}

std::string descriptorPath(int dirFd, const std::string& leaf) {
    std::string path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + leaf;
    if (path.size() >= sizeof(sockaddr_un::sun_path)) return {};
    return path;
}

} // namespace pf::xpc::detail
