#include "platform/system/BackupExclusion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/system/Retry.h"
#include "platform/system/UniqueFd.h"

namespace pf {
namespace {

constexpr const char* kTagName = "CACHEDIR.TAG";
// The tag's text: the signature backup tools look for, then a note for people.
constexpr std::string_view kTagText =
    "Signature: 8a477f597d28d172789f06886806bc55\n"
    "# This folder holds log files and is excluded from backups.\n";
constexpr std::string_view kSignature = kTagText.substr(0, kTagText.find('\n'));

UniqueFd openDirectory(const std::string& directory) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    return UniqueFd(retryOnEintr([&] { return ::open(directory.c_str(), kFlags); }));
}

bool hasTag(int dirFd) {
    UniqueFd tag(::openat(dirFd, kTagName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!tag || ::fstat(tag.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    char head[kSignature.size()];
    const ssize_t n = retryOnEintr([&] { return ::pread(tag.get(), head, sizeof head, 0); });
    return n == static_cast<ssize_t>(sizeof head) && std::memcmp(head, kSignature.data(), sizeof head) == 0;
}

} // namespace

bool isBackupExcluded(const std::string& directory) {
    UniqueFd dir = openDirectory(directory);
    return dir && hasTag(dir.get());
}

bool setBackupExcluded(const std::string& directory) {
    UniqueFd dir = openDirectory(directory);
    if (!dir) return false;
    if (hasTag(dir.get())) return true;
    // O_TRUNC without O_EXCL: a damaged tag is rewritten; O_NOFOLLOW keeps a
    // symlink planted under the tag's name from redirecting the write.
    UniqueFd tag(::openat(dir.get(), kTagName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st;
    if (!tag || ::fstat(tag.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const ssize_t n = retryOnEintr([&] { return ::write(tag.get(), kTagText.data(), kTagText.size()); });
    if (n != static_cast<ssize_t>(kTagText.size())) return false;
    struct stat dirSt;
    // The folder's owner may remove the tag again; a failure leaves it root's, still valid.
    if (::fstat(dir.get(), &dirSt) == 0) (void)::fchown(tag.get(), dirSt.st_uid, dirSt.st_gid);
    return true;
}

} // namespace pf
