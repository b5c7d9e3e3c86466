#include "installer/TreeRemoval.h"

#include <fcntl.h>
#include <unistd.h>

#include "installer/FileCalls.h"

namespace {

int removeAt(int parentFd, const std::string& name, int depth) {
    if (depth > kVDMaxTreeDepth) return ELOOP;
    // Whatever is not a directory (links included) goes by unlink; a
    // directory swapped in meanwhile shows up as EISDIR and is handled below.
    int error = vdfs::retrying([&] { return ::unlinkat(parentFd, name.c_str(), 0); });
    if (error != EISDIR) return error;
    vdfs::Opened dir = vdfs::openAt(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (dir.error == ENOTDIR || dir.error == ELOOP) // swapped back to a non-directory: one more unlink
        return vdfs::retrying([&] { return ::unlinkat(parentFd, name.c_str(), 0); });
    if (dir.error) return dir.error;
    // Removing entries under an open listing skips none of the others.
    error = vdfs::forEachEntry(dir.fd.get(), [&](const std::string& child, unsigned char) {
        const int failed = removeAt(dir.fd.get(), child, depth + 1);
        return failed == ENOENT ? 0 : failed;
    });
    if (error) return error;
    return vdfs::retrying([&] { return ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR); });
}

} // namespace

int VDRemoveTree(int parentFd, const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return EINVAL;
    return removeAt(parentFd, name, 0);
}
