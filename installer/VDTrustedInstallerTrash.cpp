#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "app/ExceptionGuard.h"
#include "installer/Accounts.h"
#include "installer/FileCalls.h"
#include "installer/TrashName.h"
#include "installer/VDTrustedInstaller.h"
#include "platform/system/ConsoleUser.h"
#include "platform/system/Volume.h"

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;

// A Trash folder is only used when it is the user's own real folder: the
// move runs as root, and a symlink or somebody else's folder under that name
// would send the bundle where the user could not have put it.
pf::UniqueFd ownedFolder(int parentFd, const std::string& name, uid_t uid) {
    vdfs::Opened folder = vdfs::openAt(parentFd, name, kFolderFlags);
    struct stat st {};
    if (folder.error || vdfs::statAt(folder.fd.get(), "", st) || st.st_uid != uid) return pf::UniqueFd();
    return std::move(folder.fd);
}

// <volume>/.Trashes/<uid>, made (not its parents) with mode 0700 for the user.
pf::UniqueFd volumeTrash(const std::string& volume, uid_t uid) {
    vdfs::Opened root = vdfs::openAt(AT_FDCWD, volume, O_RDONLY | O_DIRECTORY);
    if (root.error) return pf::UniqueFd();
    vdfs::Opened trashes = vdfs::openAt(root.fd.get(), ".Trashes", kFolderFlags);
    if (trashes.error) return pf::UniqueFd(); // a volume without .Trashes gets no Trash
    const std::string name = std::to_string(uid);
    if (vdfs::retrying([&] { return ::mkdirat(trashes.fd.get(), name.c_str(), 0700); }) == 0) {
        vdfs::Opened made = vdfs::openAt(trashes.fd.get(), name, kFolderFlags);
        if (!made.error) {
            // The outcome is the ownership check's below.
            (void)vdfs::retrying([&] { return ::fchown(made.fd.get(), uid, static_cast<gid_t>(-1)); });
            (void)vdfs::retrying([&] { return ::fchmod(made.fd.get(), 0700); });
        }
    }
    return ownedFolder(trashes.fd.get(), name, uid);
}

std::optional<std::string> homeOf(uid_t uid) {
    std::optional<std::string> home;
    VDGuard(148, [&] {
        if (auto path = VDHomeDirectoryForUid(uid))
            if (auto url = pf::URL::fileURLWithPath(*path, true)) home = url->path();
    });
    return home;
}

} // namespace

void VDTrustedInstaller::moveHostBundleToTrash(const pf::URL& bundleURL) {
    const auto uid = pf::consoleUser();
    if (!uid) return;
    const std::string bundlePath = pf::standardizePath(bundleURL.path());
    const auto volume = pf::volumeOfPath(bundlePath);
    if (!volume || bundlePath == "/") return;
    const auto home = homeOf(*uid);
    const auto homeVolume = home ? pf::volumeOfPath(*home) : std::nullopt;

    pf::UniqueFd trash;
    if (homeVolume && *homeVolume == *volume) {
        vdfs::Opened homeFolder = vdfs::openAt(AT_FDCWD, *home, O_RDONLY | O_DIRECTORY);
        if (!homeFolder.error) trash = ownedFolder(homeFolder.fd.get(), ".Trash", *uid);
    } else if (*volume == "/") {
        return; // the bundle is on the boot volume, the home is not: no Trash of the user here
    } else {
        trash = volumeTrash(*volume, *uid);
    }
    if (!trash) return;

    const std::size_t slash = bundlePath.rfind('/');
    const std::string parentPath = slash == 0 ? "/" : bundlePath.substr(0, slash);
    const std::string leaf = bundlePath.substr(slash + 1);
    std::string name = leaf;
    struct stat existing {};
    if (vdfs::statAt(trash.get(), name, existing) == 0) {
        const auto now = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch());
        name = VDTimeStampedTrashName(leaf, now.count()); // one new name; a second clash leaves the bundle be
    }
    // The bundle's folder is reached through real folders only: a folder on
    // the way swapped for a symlink since the uninstall validated the bundle
    // would otherwise let its owner choose which item root moves.
    vdfs::Opened parent = vdfs::openResolved(AT_FDCWD, parentPath, O_RDONLY | O_DIRECTORY, vdfs::kNoLinks);
    if (parent.error) return;
    // Never over an existing item; the outcome is not reported.
    (void)vdfs::retrying([&] {
        return ::renameat2(parent.fd.get(), leaf.c_str(), trash.get(), name.c_str(), RENAME_NOREPLACE);
    });
}
