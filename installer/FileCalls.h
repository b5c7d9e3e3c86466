#pragma once
// The installer's system calls, each wrapped once: EINTR is retried, the
// outcome is an errno value (0 for success) instead of errno by hand, and
// every descriptor is close-on-exec.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/system/Retry.h"
#include "platform/system/UniqueFd.h"

namespace vdfs {

// Runs a call that reports failure as -1 with errno; 0 or the errno.
template <class F>
int retrying(F&& call) {
    return pf::retryOnEintr(call) != -1 ? 0 : errno;
}

struct Opened {
    pf::UniqueFd fd;
    int error = 0;
};

// openat(2) with O_CLOEXEC added.
Opened openAt(int dirfd, const std::string& path, int flags, mode_t mode = 0);
// openat2(2) with O_CLOEXEC added and the given RESOLVE_* flags.
Opened openResolved(int dirfd, const std::string& path, int flags, std::uint64_t resolve);

// Where every target resolves: inside the directory, symlinks and ".." included.
inline constexpr std::uint64_t kInRoot = 0x10 /* RESOLVE_IN_ROOT */ | 0x02 /* RESOLVE_NO_MAGICLINKS */;
// Where bundle items resolve: beneath the bundle and through no symlink at
// all, so the path opened is the very path its seal names.
inline constexpr std::uint64_t kBeneathNoLinks = 0x08 /* RESOLVE_BENEATH */ | 0x04 /* RESOLVE_NO_SYMLINKS */;

// Through real folders only: a path any component of which is a symlink
// (or a magic link) does not open.
inline constexpr std::uint64_t kNoLinks = 0x04 /* RESOLVE_NO_SYMLINKS */ | 0x02 /* RESOLVE_NO_MAGICLINKS */;

// The item's status without following a final symlink (name "" = the descriptor itself).
int statAt(int dirfd, const std::string& name, struct stat& st);

// The text of the symlink at name; 0 or the errno (ENAMETOOLONG for a text
// of 4096 bytes or more, which no path can use).
int readLinkAt(int dirfd, const std::string& name, std::string& target);

// Calls visit(name, d_type) for every entry of the open directory except "."
// and ".."; a non-zero return of visit stops the listing and is returned.
// 0 or the errno of the listing itself. The directory's descriptor stays the
// caller's (the listing reads through a fresh one).
int forEachEntry(int dirFd, const std::function<int(const std::string& name, unsigned char type)>& visit);

} // namespace vdfs
