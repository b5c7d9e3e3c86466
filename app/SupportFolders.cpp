// Application-support folders. On Linux the shared (local-domain) folder is
// under /var/lib and the per-user one under the user's data folder; see
// platform/system/AppSupport.h for the exact places and their overrides.
#include "app/VDApplication.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/foundation/Bundle.h"
#include "platform/system/AppSupport.h"

namespace {

// Filled on first use without a lock, as the frame's contract allows: both
// are computed during start-up on the main thread.
std::optional<std::string> gSharedSupportPath;
std::optional<std::string> gUserSupportPath;

} // namespace

std::string VDApplication::applicationSupportLeaf() const {
    return applicationSupportLeaf_.value_or("VolumeSmith");
}

void VDApplication::setApplicationSupportLeaf(std::string leaf) { applicationSupportLeaf_ = std::move(leaf); }

std::string VDApplication::applicationSupportPathWithLeaf(const std::string* leaf, bool shared) {
    std::string name;
    if (leaf) {
        name = *leaf;
    } else if (const pf::Value* bundleName = pf::Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleName");
               bundleName && bundleName->isString()) {
        name = bundleName->string();
    }
    // A folder that cannot be found is the empty path, which the steps below
    // still take: creating it fails quietly and the check logs it.
    std::string path;
    if (const std::optional<std::string> base = pf::applicationSupportDirectory(shared))
        path = name.empty() ? *base : (std::filesystem::path(*base) / name).string();

    std::error_code ignored;
    if (!path.empty()) std::filesystem::create_directories(path, ignored);

    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        logWithLevel(1, "Support path is not accessible! (%@)", path);
        return path;
    }
    const uid_t euid = ::geteuid();
    if (!shared && euid != 0 && st.st_uid != euid)
        logWithLevel(1, "Support path is not owned by us! %u != %u (%@)", static_cast<unsigned>(st.st_uid),
                     static_cast<unsigned>(euid), path);
    if ((st.st_mode & 0700) != 0700)
        logWithLevel(2, "Support path has unexpected permissions! %u (%@)", static_cast<unsigned>(st.st_mode & 07777),
                     path);
    return path;
}

std::string VDApplication::sharedApplicationSupportPath() {
    if (!gSharedSupportPath) {
        const std::string leaf = applicationSupportLeaf();
        gSharedSupportPath = applicationSupportPathWithLeaf(&leaf, true);
    }
    return *gSharedSupportPath;
}

std::string VDApplication::applicationSupportPath() {
    if (!gUserSupportPath) {
        const std::string leaf = applicationSupportLeaf();
        gUserSupportPath = applicationSupportPathWithLeaf(&leaf, false);
    }
    return *gUserSupportPath;
}
