#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "foundation_ext/FileManagerExtensions.h"
#include "platform/foundation/Format.h"
#include "platform/system/Catalog.h"
#include "platform/system/FileSystemFacts.h"
#include "platform/system/FinderInfo.h"
#include "platform/system/Retry.h"
#include "platform/system/UniqueFd.h"
#include "platform/system/Volume.h"

namespace {

constexpr const char* kVolumeIconName = ".VolumeIcon.icns";
constexpr unsigned long kMaxUniqueAttempts = 1'000'000;

bool copyFile(int source, int target) {
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = pf::retryOnEintr([&] { return ::read(source, buffer, sizeof buffer); });
        if (n <= 0) return n == 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w =
                pf::retryOnEintr([&] { return ::write(target, buffer + done, static_cast<std::size_t>(n - done)); });
            if (w <= 0) return false;
            done += w;
        }
    }
}

// The copy takes the volume root's owner and group, mode 0644 and no access
// list of its own (a default list inherited from the root is dropped).
bool adoptRootSecurity(int iconFd, int rootFd) {
    struct stat root;
    if (::fstat(rootFd, &root) != 0 || ::fchown(iconFd, root.st_uid, root.st_gid) != 0) return false;
    if (::fremovexattr(iconFd, "system.posix_acl_access") != 0 && errno != ENODATA && errno != EOPNOTSUPP)
        return false;
    return ::fchmod(iconFd, 0644) == 0;
}

bool installIcon(const std::string& iconPath, int rootFd) {
    pf::UniqueFd source(::open(iconPath.c_str(), O_RDONLY | O_CLOEXEC));
    pf::UniqueFd copy(::openat(rootFd, kVolumeIconName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!source || !copy || !copyFile(source.get(), copy.get())) return false;
    return ::geteuid() != 0 || adoptRootSecurity(copy.get(), rootFd);
}

} // namespace

std::optional<std::string> volumeNameAtPath(const std::string& path) {
    const auto mountPoint = pf::volumeOfPath(path);
    struct stat st;
    if (!mountPoint || ::lstat(mountPoint->c_str(), &st) != 0) return std::nullopt;
    if (auto label = pf::fileSystemLabel(st.st_dev)) return label;
    const std::size_t slash = mountPoint->find_last_of('/');
    return *mountPoint == "/" || slash == std::string::npos ? *mountPoint : mountPoint->substr(slash + 1);
}

std::optional<std::string> volumeNameAtURL(const pf::URL& url) {
    if (!url.isFileURL()) return std::nullopt;
    return volumeNameAtPath(url.path());
}

bool volumeSupportsLargeFiles(const pf::URL& url) {
    return url.isFileURL() && pf::fileSystemSupportsLargeFiles(url.path()).value_or(false);
}

std::optional<std::string> makePathUnique(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return path;
    for (unsigned long n = 1; n <= kMaxUniqueAttempts; ++n) {
        std::string candidate = pf::format("%@ %lu", path, n);
        if (::lstat(candidate.c_str(), &st) != 0) return candidate;
    }
    return std::nullopt;
}

bool itemHasCustomIcon(const std::optional<pf::URL>& url) {
    if (!url || !url->isFileURL()) return false;
    // Only files and folders carry Finder information; opening anything else
    // (a device, a fifo) could have effects of its own.
    struct stat st;
    const std::string path = url->path();
    if (::lstat(path.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) return false;
    pf::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    pf::FinderInfo info;
    return fd && pf::readFinderInfo(fd.get(), info) == 0 && (pf::finderFlags(info) & pf::kFinderFlagHasCustomIcon);
}

// File coordination has no counterpart here: the work runs directly.
bool setCustomIconWithICNSResource(const std::optional<pf::URL>& icon, const std::optional<pf::URL>& volume) {
    if (!volume || !volume->isFileURL()) return false;
    pf::UniqueFd root(::open(volume->path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    pf::FinderInfo info;
    if (!root || pf::readFinderInfo(root.get(), info) != 0) return false;
    struct stat st;
    if (::fstatat(root.get(), kVolumeIconName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        ::unlinkat(root.get(), kVolumeIconName, 0) != 0)
        return false;
    std::uint16_t flags = pf::finderFlags(info);
    if (icon) {
        if (!icon->isFileURL() || !installIcon(icon->path(), root.get())) return false;
        flags |= pf::kFinderFlagHasCustomIcon;
    } else {
        flags &= static_cast<std::uint16_t>(~pf::kFinderFlagHasCustomIcon);
    }
    pf::setFinderFlags(info, flags);
    return pf::writeFinderInfo(root.get(), info) == 0;
}

bool isVandrelRecoveryVolumeAtMountedURL(const pf::URL& volume) {
    if (!volume.isFileURL()) return false;
    pf::UniqueFd root(::open(volume.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) return false;
    pf::UniqueFd marker(pf::catalog::openBeneath(root.get(), ".com.vandrelsys.recoverydisk", O_PATH));
    pf::UniqueFd coreServices(pf::catalog::openBeneath(root.get(), "System/Library/CoreServices", O_PATH | O_DIRECTORY));
    return marker && coreServices;
}
