#include "platform/codesign/BundleWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/system/UniqueFd.h"
#include "platform/codesign/FileAccess.h"
#include "platform/codesign/Limits.h"
#include "platform/codesign/SealablePath.h"

namespace pf::codesign {

namespace {

using Kind = SealedManifest::Entry::Kind;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

class Walker {
public:
    Walker(const BundleVisitor& visit, std::string* why) : visit_(visit), why_(why) {}

    bool walkFolder(int dirFd, const std::string& prefix, std::size_t depth) {
        if (depth > kMaxFolderDepth) return fail((prefix.empty() ? "the bundle" : prefix) + " is nested too deeply");
        std::vector<std::string> names;
        if (!listNames(dirFd, prefix, names)) return false;
        for (const std::string& name : names) {
            const std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (!isSealableName(name) || path.size() > kMaxRelativePathBytes) {
                return fail((prefix.empty() ? "the bundle's folder" : prefix) + " holds a name that cannot be sealed");
            }
            if (path == kSignatureFolderPath) continue;
            if (!visitItem(dirFd, name, path, depth)) return false;
        }
        return true;
    }

private:
    bool fail(const std::string& reason) {
        *why_ = reason;
        return false;
    }

    // The folder's names, read through a descriptor of its own so that the
    // caller's stays usable for the *at calls.
    bool listNames(int dirFd, const std::string& prefix, std::vector<std::string>& names) {
        const std::string shown = prefix.empty() ? "the bundle's folder" : prefix;
        const int listFd = retryOnEintr([&] { return ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
        if (listFd < 0) return fail(describeErrno("cannot list " + shown));
        std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listFd));
        if (!dir) {
            ::close(listFd);
            return fail(describeErrno("cannot list " + shown));
        }
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir.get());
            if (!entry) {
                if (errno != 0) return fail(describeErrno("cannot list " + shown));
                break;
            }
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (++seen_ > kMaxBundleEntries) {
                return fail("the bundle holds more than " + std::to_string(kMaxBundleEntries) + " items");
            }
            names.emplace_back(name);
        }
        std::sort(names.begin(), names.end());
        return true;
    }

    bool visitItem(int dirFd, const std::string& name, const std::string& path, std::size_t depth) {
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return fail(describeErrno("cannot examine " + path));
        }
        const mode_t mode = st.st_mode & 07777;
        if (S_ISREG(st.st_mode)) {
            // O_NONBLOCK: a fifo swapped in after the check must not block the open.
            UniqueFd fd(retryOnEintr([&] {
                return ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
            }));
            if (!fd) return fail(describeErrno("cannot open " + path));
            if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return fail(path + " changed while it was read");
            return visit_(BundleItem{path, Kind::File, st.st_mode & 07777, fd.get(), {}, st.st_size}, why_);
        }
        if (S_ISDIR(st.st_mode)) {
            UniqueFd fd = openFolderAt(dirFd, name, why_);
            if (!fd) return fail(path + " cannot be opened (" + *why_ + ")");
            if (::fstat(fd.get(), &st) != 0) return fail(describeErrno("cannot examine " + path));
            if (!visit_(BundleItem{path, Kind::Directory, st.st_mode & 07777, -1, {}, 0}, why_)) return false;
            return walkFolder(fd.get(), path, depth + 1);
        }
        if (S_ISLNK(st.st_mode)) {
            std::string target(kMaxLinkTargetBytes + 1, '\0');
            const ssize_t n = ::readlinkat(dirFd, name.c_str(), target.data(), target.size());
            if (n < 0) return fail(describeErrno("cannot read the symlink " + path));
            if (static_cast<std::size_t>(n) > kMaxLinkTargetBytes) return fail("the symlink " + path + " is too long");
            target.resize(static_cast<std::size_t>(n));
            return visit_(BundleItem{path, Kind::Link, mode, -1, std::move(target), 0}, why_);
        }
        return fail(path + " is neither a file, a folder nor a symlink");
    }

    const BundleVisitor& visit_;
    std::string* why_;
    std::size_t seen_ = 0;
};

} // namespace

bool walkBundle(int bundleFd, const BundleVisitor& visit, std::string* why) {
    Walker walker(visit, why);
    return walker.walkFolder(bundleFd, "", 0);
}

} // namespace pf::codesign
