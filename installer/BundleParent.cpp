#include "installer/BundleParent.h"

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <vector>

#include "installer/BundleSeal.h"
#include "installer/FileCalls.h"
#include "installer/TreeRemoval.h"

namespace {

// Pushes the components of `path` in front of `pending`, in order.
void prepend(std::deque<std::string>& pending, const std::string& path) {
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.emplace_back(path, start, end - start);
        start = end + 1;
    }
    pending.insert(pending.begin(), parts.begin(), parts.end());
}

std::string joined(const std::vector<std::string>& names) {
    std::string path;
    for (const auto& name : names) path += (path.empty() ? "" : "/") + name;
    return path;
}

} // namespace

VDBundleParent VDOpenParentInBundle(int bundleFd, const std::string& itemPath, const VDBundleSeal& seal) {
    VDBundleParent result;
    auto failed = [&](int error) {
        result.error = error;
        return std::move(result);
    };
    const std::size_t slash = itemPath.rfind('/');
    result.leaf = slash == std::string::npos ? itemPath : itemPath.substr(slash + 1);
    if (result.leaf.empty() || result.leaf == "." || result.leaf == "..") return failed(EINVAL);
    std::deque<std::string> pending;
    if (slash != std::string::npos) prepend(pending, itemPath.substr(0, slash));

    // The folders entered so far, the bundle's root being the empty stack.
    std::vector<std::string> names;
    std::vector<pf::UniqueFd> folders;
    int links = 0;
    auto current = [&] { return folders.empty() ? bundleFd : folders.back().get(); };
    while (!pending.empty()) {
        const std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            if (folders.empty()) return failed(EXDEV);
            folders.pop_back();
            names.pop_back();
            continue;
        }
        if (folders.size() >= static_cast<std::size_t>(kVDMaxTreeDepth)) return failed(ELOOP);
        vdfs::Opened next = vdfs::openAt(current(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (next.error == 0) {
            folders.push_back(std::move(next.fd));
            names.push_back(name);
            continue;
        }
        if (next.error != ELOOP && next.error != ENOTDIR) return failed(next.error);
        std::string target;
        const int unread = vdfs::readLinkAt(current(), name, target);
        // Not a link after all (a file on the way): the open's answer stands.
        if (unread && unread != ENAMETOOLONG) return failed(next.error);
        if (unread || ++links > kVDMaxFollowedLinks) return failed(ELOOP);
        if (target.empty() || target.front() == '/') return failed(EXDEV);
        names.push_back(name);
        const bool sealed = seal.sealsSymlink(joined(names), target);
        names.pop_back();
        if (!sealed) return failed(EPERM);
        prepend(pending, target);
    }
    if (folders.empty()) {
        int copy = -1;
        if (int error = vdfs::retrying([&] { return copy = ::fcntl(bundleFd, F_DUPFD_CLOEXEC, 0); }))
            return failed(error);
        result.folder.reset(copy);
    } else {
        result.folder = std::move(folders.back());
    }
    result.folderPath = joined(names);
    return result;
}
