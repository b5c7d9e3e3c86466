#include "installer/BundleSeal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "installer/BundleParent.h"
#include "installer/FileCalls.h"
#include "installer/TreeRemoval.h"

namespace {

using Entry = pf::codesign::SealedManifest::Entry;

constexpr int kItemOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

// Holds the item at `rel` of a bundle, and everything below it, against the
// bundle's seal, reading through descriptors that never follow a symlink.
class SubtreeCheck {
public:
    explicit SubtreeCheck(const VDBundleSeal& seal) : seal_(seal) {}

    bool run(int bundleFd, const std::string& rel) {
        // Folder links on the way are followed as the seal holds them; the item is checked where they lead.
        VDBundleParent parent = VDOpenParentInBundle(bundleFd, rel, seal_);
        if (parent.error) return false;
        const std::string sealed = parent.itemPath();
        return item(parent.folder.get(), parent.leaf, sealed, 0) && checked_ == seal_.sealedItemsAtOrBelow(sealed);
    }

private:
    bool item(int parentFd, const std::string& name, const std::string& rel, int depth) {
        if (depth > kVDMaxTreeDepth) return false;
        struct stat st {};
        if (vdfs::statAt(parentFd, name, st)) return false;
        ++checked_;
        if (S_ISLNK(st.st_mode)) return link(parentFd, name, rel);
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
        vdfs::Opened opened = vdfs::openAt(parentFd, name, kItemOpenFlags | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0));
        struct stat now {};
        if (opened.error || vdfs::statAt(opened.fd.get(), "", now) || now.st_ino != st.st_ino ||
            now.st_dev != st.st_dev || (now.st_mode & S_IFMT) != (st.st_mode & S_IFMT))
            return false;
        const mode_t mode = now.st_mode & 07777;
        if (S_ISREG(now.st_mode)) {
            const auto digest = pf::codesign::sha256File(opened.fd.get());
            return digest && seal_.sealsFile(rel, *digest, mode);
        }
        if (!seal_.sealsDirectory(rel, mode)) return false;
        const int error = vdfs::forEachEntry(opened.fd.get(), [&](const std::string& child, unsigned char) {
            return item(opened.fd.get(), child, rel + "/" + child, depth + 1) ? 0 : -1;
        });
        return error == 0;
    }

    bool link(int parentFd, const std::string& name, const std::string& rel) {
        std::string target;
        return vdfs::readLinkAt(parentFd, name, target) == 0 && seal_.sealsSymlink(rel, target);
    }

    const VDBundleSeal& seal_;
    std::size_t checked_ = 0;
};

bool carriesSignature(const std::string& folder) {
    struct stat st {};
    const std::string marker = (folder == "/" ? "" : folder) + "/Contents/_CodeSignature";
    return ::lstat(marker.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::shared_ptr<const VDBundleSeal> VDBundleSeal::validate(const std::string& bundlePath) {
    auto manifest = pf::codesign::verifyBundle(bundlePath, nullptr);
    if (!manifest) return nullptr;
    return std::make_shared<const VDBundleSeal>(std::move(*manifest));
}

bool VDBundleSeal::sealsContents(std::string_view relativePath, const pf::codesign::Sha256Digest& digest) const {
    const Entry* entry = manifest_.find(relativePath);
    return entry && entry->kind == Entry::File && entry->hashHex == pf::codesign::toHex(digest);
}

bool VDBundleSeal::sealsFile(std::string_view relativePath, const pf::codesign::Sha256Digest& digest,
                             mode_t mode) const {
    const Entry* entry = manifest_.find(relativePath);
    return sealsContents(relativePath, digest) && entry->mode == mode;
}

bool VDBundleSeal::sealsSymlink(std::string_view relativePath, std::string_view target) const {
    const Entry* entry = manifest_.find(relativePath);
    return entry && entry->kind == Entry::Link && entry->linkTarget == target;
}

bool VDBundleSeal::sealsDirectory(std::string_view relativePath, mode_t mode) const {
    const Entry* entry = manifest_.find(relativePath);
    return entry && entry->kind == Entry::Directory && entry->mode == mode;
}

std::size_t VDBundleSeal::sealedItemsAtOrBelow(std::string_view relativePath) const {
    const auto& entries = manifest_.entries();
    const std::string first = std::string(relativePath) + "/";
    const std::string pastLast = std::string(relativePath) + "0"; // '0' is the character after '/'
    std::size_t count = entries.count(relativePath);
    for (auto it = entries.lower_bound(first); it != entries.end() && it->first < pastLast; ++it) ++count;
    return count;
}

std::optional<std::string> VDPathBelow(const std::string& root, const std::string& path) {
    const std::string base = pf::standardizePath(root);
    const std::string full = pf::standardizePath(path);
    const std::string prefix = base == "/" ? "/" : base + "/";
    if (full.size() <= prefix.size() || full.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return full.substr(prefix.size());
}

bool VDItemPassesSignatureValidation(const pf::URL& item) {
    if (!item.isFileURL()) return false;
    const std::string path = pf::standardizePath(item.path());
    if (path.empty() || path.front() != '/') return false;
    for (std::string folder = path;; folder = folder.substr(0, std::max<std::size_t>(folder.rfind('/'), 1))) {
        if (carriesSignature(folder)) {
            if (folder == path) return VDBundleSeal::validate(folder) != nullptr;
            // The seal and the item are read through one descriptor of the bundle.
            vdfs::Opened bundle = vdfs::openAt(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (bundle.error) return false;
            auto manifest = pf::codesign::SealedManifest::loadAt(bundle.fd.get(), nullptr);
            if (!manifest) return false;
            const VDBundleSeal seal(std::move(*manifest));
            return SubtreeCheck(seal).run(bundle.fd.get(), *VDPathBelow(folder, path));
        }
        if (folder == "/") return false;
    }
}
