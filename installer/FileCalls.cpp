#include "installer/FileCalls.h"

#include <dirent.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

namespace vdfs {

namespace {

// openat2 asks the caller to retry when a rename or mount raced the lookup.
constexpr int kMaxResolveRetries = 32;

} // namespace

Opened openAt(int dirfd, const std::string& path, int flags, mode_t mode) {
    Opened result;
    int fd = -1;
    result.error = retrying([&] { return fd = ::openat(dirfd, path.c_str(), flags | O_CLOEXEC, mode); });
    if (result.error == 0) result.fd.reset(fd);
    return result;
}

Opened openResolved(int dirfd, const std::string& path, int flags, std::uint64_t resolve) {
    Opened result;
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = resolve;
    long fd = -1;
    for (int attempt = 0; attempt < kMaxResolveRetries; ++attempt) {
        result.error = retrying([&] { return fd = ::syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how); });
        if (result.error != EAGAIN) break;
    }
    if (result.error == 0) result.fd.reset(static_cast<int>(fd));
    return result;
}

int statAt(int dirfd, const std::string& name, struct stat& st) {
    const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    return retrying([&] { return ::fstatat(dirfd, name.c_str(), &st, flags); });
}

int readLinkAt(int dirfd, const std::string& name, std::string& target) {
    char text[4096];
    ssize_t length = -1;
    if (int error = retrying([&] { return length = ::readlinkat(dirfd, name.c_str(), text, sizeof text); }))
        return error;
    if (static_cast<std::size_t>(length) >= sizeof text) return ENAMETOOLONG;
    target.assign(text, static_cast<std::size_t>(length));
    return 0;
}

int forEachEntry(int dirFd, const std::function<int(const std::string& name, unsigned char type)>& visit) {
    // fdopendir takes over the descriptor it is given, so it gets its own.
    Opened listing = openAt(dirFd, ".", O_RDONLY | O_DIRECTORY);
    if (listing.error) return listing.error;
    struct Closer {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    std::unique_ptr<DIR, Closer> dir(::fdopendir(listing.fd.get()));
    if (!dir) return errno;
    listing.fd.release();
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry) return errno;
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (int stop = visit(name, entry->d_type)) return stop;
    }
}

} // namespace vdfs
