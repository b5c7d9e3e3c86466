#include "platform/system/FinderInfo.h"

#include <sys/xattr.h>

#include <cerrno>

namespace pf {

namespace {
constexpr const char* kFinderInfoAttribute = "user.vicar.FinderInfo";
}

int readFinderInfo(int fd, FinderInfo& info) {
    info.fill(0);
    FinderInfo stored;
    const ssize_t n = ::fgetxattr(fd, kFinderInfoAttribute, stored.data(), stored.size());
    if (n < 0) return errno == ENODATA ? 0 : errno;
    // A shorter or longer value is no Finder information; it reads as none.
    if (n == static_cast<ssize_t>(stored.size())) info = stored;
    return 0;
}

int writeFinderInfo(int fd, const FinderInfo& info) {
    return ::fsetxattr(fd, kFinderInfoAttribute, info.data(), info.size(), 0) == 0 ? 0 : errno;
}

std::uint16_t finderFlags(const FinderInfo& info) { return static_cast<std::uint16_t>(info[8] << 8 | info[9]); }

void setFinderFlags(FinderInfo& info, std::uint16_t flags) {
    info[8] = static_cast<std::uint8_t>(flags >> 8);
    info[9] = static_cast<std::uint8_t>(flags);
}

} // namespace pf
