#include "installer/StagingItems.h"

#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "installer/FileCalls.h"
#include "installer/TreeRemoval.h"

namespace {

constexpr std::string_view kPrefix = ".vicar-";
constexpr std::size_t kRandomBytes = 8;
// A folder full of leftovers is cleaned over several installs, not in one.
constexpr std::size_t kMaxSweptPerFolder = 256;

bool isStagingName(const std::string& name) {
    if (name.size() != kPrefix.size() + 2 * kRandomBytes || name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    for (std::size_t i = kPrefix.size(); i < name.size(); ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i])) || std::isupper(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

int lockWithoutWaiting(int fd) { return vdfs::retrying([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }); }

} // namespace

std::string VDNewStagingName() {
    unsigned char random[kRandomBytes] = {};
    if (::getrandom(random, sizeof random, 0) != sizeof random) {
        // Without the kernel's randomness the name only needs to be unlikely: O_EXCL does the rest.
        const auto fallback = static_cast<unsigned long long>(::getpid()) ^ reinterpret_cast<std::uintptr_t>(&random);
        for (std::size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(fallback >> (8 * i));
    }
    std::string name(kPrefix);
    char hex[3];
    for (unsigned char byte : random) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        name += hex;
    }
    return name;
}

bool VDClaimStagingItem(int folderFd, const std::string& name, int itemFd) {
    if (lockWithoutWaiting(itemFd)) return false;
    // A sweep that locked and removed it before us has let go of the lock again.
    struct stat named {}, held {};
    return vdfs::statAt(folderFd, name, named) == 0 && vdfs::statAt(itemFd, "", held) == 0 &&
           named.st_ino == held.st_ino && named.st_dev == held.st_dev;
}

void VDRemoveStaleStagingItems(int folderFd) {
    std::vector<std::string> names;
    // A folder that cannot be listed keeps its leftovers; installing into it is judged elsewhere.
    (void)vdfs::forEachEntry(folderFd, [&](const std::string& name, unsigned char) {
        if (isStagingName(name)) names.push_back(name);
        return names.size() < kMaxSweptPerFolder ? 0 : -1;
    });
    for (const std::string& name : names) {
        struct stat named {}, held {};
        if (vdfs::statAt(folderFd, name, named) || named.st_uid != ::geteuid() ||
            !(S_ISREG(named.st_mode) || S_ISDIR(named.st_mode)))
            continue;
        const int type = S_ISDIR(named.st_mode) ? O_DIRECTORY : 0;
        vdfs::Opened item = vdfs::openAt(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | type);
        if (item.error || vdfs::statAt(item.fd.get(), "", held) || held.st_ino != named.st_ino ||
            held.st_dev != named.st_dev)
            continue;
        // Its maker still holds the lock while it lives; a lock we get was left by a dead one.
        if (lockWithoutWaiting(item.fd.get())) continue;
        (void)VDRemoveTree(folderFd, name); // what cannot go now is tried again next time
    }
}
