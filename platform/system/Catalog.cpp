#include "platform/system/Catalog.h"

#include <dirent.h>
#include <linux/openat2.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/system/Retry.h"

namespace pf::catalog {

namespace {

// The kernel's record; glibc 2.36 has no getdents64 wrapper in every build.
struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

long getdents(int fd, void* buffer, std::size_t size) {
    const long n = pf::retryOnEintr([&] { return ::syscall(SYS_getdents64, fd, buffer, size); });
    return n < 0 ? -errno : n;
}

mode_t typeFromDirent(unsigned char type) {
    switch (type) {
    case DT_DIR: return S_IFDIR;
    case DT_REG: return S_IFREG;
    case DT_LNK: return S_IFLNK;
    case DT_FIFO: return S_IFIFO;
    case DT_SOCK: return S_IFSOCK;
    case DT_CHR: return S_IFCHR;
    case DT_BLK: return S_IFBLK;
    default: return 0;
    }
}

} // namespace

int statEntry(int directoryFd, const char* name, Entry& entry) {
    struct statx st;
    const int emptyPath = name[0] == '\0' ? AT_EMPTY_PATH : 0;
    if (::statx(directoryFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | emptyPath, STATX_TYPE | STATX_SIZE | STATX_BLOCKS,
                &st) != 0)
        return errno;
    entry.type = st.stx_mode & S_IFMT;
    entry.logicalSize = st.stx_size;
    entry.physicalSize = st.stx_blocks * 512;
    entry.device = makedev(st.stx_dev_major, st.stx_dev_minor);
    return 0;
}

int readDirectory(int directoryFd, std::vector<Entry>& entries, bool withSizes, std::size_t maxEntries) {
    alignas(LinuxDirent64) char buffer[64 * 1024];
    for (;;) {
        const long n = getdents(directoryFd, buffer, sizeof buffer);
        if (n < 0) return static_cast<int>(-n);
        if (n == 0) return 0;
        for (long offset = 0; offset < n;) {
            const auto* record = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
            offset += record->d_reclen;
            const char* name = record->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            if (entries.size() >= maxEntries) return E2BIG;
            Entry& entry = entries.emplace_back();
            entry.name = name;
            entry.type = typeFromDirent(record->d_type);
            if (withSizes || entry.type == 0)
                if (int error = statEntry(directoryFd, name, entry)) return error;
        }
    }
}

int openBeneath(int directoryFd, const char* relativePath, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = pf::retryOnEintr([&] { return ::syscall(SYS_openat2, directoryFd, relativePath, &how, sizeof how); });
    return static_cast<int>(fd);
}

} // namespace pf::catalog
