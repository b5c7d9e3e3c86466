#include "installer/AliasFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/foundation/PropertyList.h"

std::optional<pf::Data> VDBookmarkDataForURL(const pf::URL& url) {
    const std::string path = url.path();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    pf::Dictionary bookmark{
        {"path", path},
        {"device", static_cast<long long>(st.st_dev)},
        {"inode", static_cast<long long>(st.st_ino)},
        {"name", url.lastPathComponent()},
    };
    return pf::binaryPropertyList(pf::Value(std::move(bookmark)));
}

bool VDWriteAliasFile(const std::string& folder, const pf::Data& bookmark) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return false;
    // Written beside the alias and renamed over it, so a reader never sees a
    // half-written alias and a planted symlink is replaced, not followed.
    const std::string temporary = std::string(".") + kVDAliasFileName + "." + std::to_string(::getpid());
    bool ok = false;
    const int fd = ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ok = ::write(fd, bookmark.data(), bookmark.size()) == static_cast<ssize_t>(bookmark.size());
        ok = (::close(fd) == 0) && ok;
        ok = ok && ::renameat(dir, temporary.c_str(), dir, kVDAliasFileName) == 0;
        if (!ok) ::unlinkat(dir, temporary.c_str(), 0);
    }
    ::close(dir);
    return ok;
}

std::optional<pf::URL> VDResolveAliasFile(const std::string& aliasPath) {
    auto value = pf::propertyListFromFile(aliasPath);
    if (!value || !value->isDictionary()) return std::nullopt;
    const pf::Value* path = value->find("path");
    const pf::Value* device = value->find("device");
    const pf::Value* inode = value->find("inode");
    if (!path || !path->isString() || !device || !device->isInteger() || !inode || !inode->isInteger())
        return std::nullopt;
    struct stat st {};
    if (::stat(path->string().c_str(), &st) != 0) return std::nullopt;
    if (static_cast<long long>(st.st_dev) != device->integer() || static_cast<long long>(st.st_ino) != inode->integer())
        return std::nullopt;
    return pf::URL::fileURLWithPath(path->string(), S_ISDIR(st.st_mode));
}
