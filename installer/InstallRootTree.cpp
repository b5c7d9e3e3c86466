#include "installer/InstallRootTree.h"

#include <sys/stat.h>

#include <vector>

#include "installer/FileCalls.h"
#include "installer/TreeRemoval.h"
#include "platform/foundation/URL.h"

namespace {

// "/a//b/./c/../d" -> ["a", "b", "d"].
std::vector<std::string> componentsOf(const std::string& path) {
    std::vector<std::string> parts;
    const std::string standard = pf::standardizePath("/" + path);
    std::size_t start = 1;
    while (start < standard.size()) {
        std::size_t end = standard.find('/', start);
        if (end == std::string::npos) end = standard.size();
        if (end > start) parts.push_back(standard.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string joined(const std::vector<std::string>& parts, std::size_t count) {
    std::string path = ".";
    for (std::size_t i = 0; i < count; ++i) path += "/" + parts[i];
    return path;
}

// mkdir -p for the root's own path, through the paths as given.
int makeRootPath(const std::string& path) {
    std::string prefix;
    for (const std::string& part : componentsOf(path)) {
        prefix += "/" + part;
        const int error = vdfs::retrying([&] { return ::mkdir(prefix.c_str(), 0777); });
        if (error && error != EEXIST) return error;
    }
    return 0;
}

} // namespace

InstallRootTree::InstallRootTree(std::string rootPath)
    : rootPath_(rootPath.empty() ? std::string(1, '/') : std::move(rootPath)) {}

int InstallRootTree::openRoot(bool create) {
    if (root_) return 0;
    vdfs::Opened opened = vdfs::openAt(AT_FDCWD, rootPath_, O_RDONLY | O_DIRECTORY);
    if (opened.error == ENOENT && create) {
        if (int error = makeRootPath(rootPath_)) return error;
        opened = vdfs::openAt(AT_FDCWD, rootPath_, O_RDONLY | O_DIRECTORY);
    }
    if (opened.error) return opened.error;
    root_ = std::move(opened.fd);
    return 0;
}

InstallRootTree::Parent InstallRootTree::parentOf(const std::string& destinationPath) {
    Parent parent;
    if ((parent.error = openRoot(false))) return parent;
    const auto parts = componentsOf(destinationPath);
    if (!parts.empty()) parent.leaf = parts.back();
    const std::size_t depth = parts.empty() ? 0 : parts.size() - 1;
    vdfs::Opened folder = vdfs::openResolved(root_.get(), joined(parts, depth), O_RDONLY | O_DIRECTORY, vdfs::kInRoot);
    parent.error = folder.error;
    parent.folder = std::move(folder.fd);
    return parent;
}

int InstallRootTree::exists(const std::string& destinationPath) {
    if (int error = openRoot(false)) return error;
    const auto parts = componentsOf(destinationPath);
    return vdfs::openResolved(root_.get(), joined(parts, parts.size()), O_PATH, vdfs::kInRoot).error;
}

int InstallRootTree::makeDirectories(const std::string& destinationPath) {
    if (int error = openRoot(true)) return error;
    const auto parts = componentsOf(destinationPath);
    pf::UniqueFd folder;
    for (std::size_t i = 0; i <= parts.size(); ++i) {
        // Each prefix is resolved from the root, so a symlink among the
        // existing components is followed as the whole path would be.
        vdfs::Opened next = vdfs::openResolved(root_.get(), joined(parts, i), O_RDONLY | O_DIRECTORY, vdfs::kInRoot);
        if (next.error == ENOENT && i > 0 && folder) {
            const std::string& name = parts[i - 1];
            const int made = vdfs::retrying([&] { return ::mkdirat(folder.get(), name.c_str(), 0777); });
            if (made && made != EEXIST) return made;
            next = vdfs::openResolved(root_.get(), joined(parts, i), O_RDONLY | O_DIRECTORY, vdfs::kInRoot);
            // A name that exists but leads nowhere (a dangling symlink) cannot become a directory.
            if (next.error == ENOENT && made == EEXIST) return EEXIST;
        }
        if (next.error) return next.error;
        folder = std::move(next.fd);
    }
    return 0;
}

int InstallRootTree::remove(const std::string& destinationPath) {
    Parent parent = parentOf(destinationPath);
    if (parent.error) return parent.error;
    if (parent.leaf.empty()) return EBUSY;
    return VDRemoveTree(parent.folder.get(), parent.leaf);
}
