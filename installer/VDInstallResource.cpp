#include "installer/VDInstallResource.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "app/ExceptionGuard.h"
#include "installer/Accounts.h"
#include "installer/BundleSeal.h"
#include "installer/FailingURLError.h"
#include "installer/FileCalls.h"
#include "installer/RequiredValue.h"
#include "installer/VDUninstallResource.h"

namespace {

std::uint64_t identityOf(const struct stat& st) {
    // The device number is taken as 32 bits, unsigned, so that a high device
    // number never sign-extends into the inode half.
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(st.st_dev)) << 32) ^
           static_cast<std::uint64_t>(st.st_ino);
}

// The path a file URL names on this system, or nullopt when it has none.
std::optional<std::string> fileSystemPath(const std::optional<pf::URL>& url) {
    if (!url || !url->isFileURL()) return std::nullopt;
    std::string path = url->path();
    if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

bool booleanOrFalse(const pf::Value& entry, std::string_view key) {
    const pf::Value* value = entry.find(key);
    return value && !value->isNull() && value->boolValue();
}

// "755", " 0644xyz", "-7": base 8, stopping at the first non-octal character.
std::int32_t parseMask(const std::string& text) {
    return static_cast<std::int32_t>(std::strtol(text.c_str(), nullptr, 8));
}

} // namespace

std::shared_ptr<VDInstallResource> VDInstallResource::installResourceWithDictionary(const pf::Value& entry,
                                                                                   const pf::URL& resourceRoot) {
    std::shared_ptr<VDInstallResource> parsed;
    VDGuard(364, [&] {
        auto resource = std::make_shared<VDInstallResource>();
        const bool checkSignature = VDRequiredValue(entry, "CSV", 317).boolValue();
        const bool recordsNoIdentity = booleanOrFalse(entry, "__INA__");

        const pf::Value* from = entry.find("From");
        if (from && !from->isNull() && !from->string().empty()) {
            resource->from_ = pf::URL::URLWithString(pf::addPercentEscapes(from->string()), resourceRoot);
            if (!resource->from_) VDFailCheck(326);
            if (!recordsNoIdentity) resource->expectedID_ = resource->uniqueResourceIdentifier();
            if (checkSignature && !VDItemPassesSignatureValidation(*resource->from_))
                pf::raise(pf::NSInternalInconsistencyException, "Bad resource.");
        }

        const std::string& to = VDRequiredValue(entry, "To", 338).string();
        if (!to.empty()) {
            if (to.front() != '/') pf::raise(pf::NSInvalidArgumentException, "Invalid resource destination.");
            resource->to_ = pf::URL::fileURLWithPath(pf::standardizePath(to));
            if (!resource->to_) VDFailCheck(345);
        }

        const std::string& user = VDRequiredValue(entry, "User", 351).string();
        resource->uid_ = user.empty() ? ::geteuid() : VDUserIdForName(user);
        const std::string& group = VDRequiredValue(entry, "Group", 355).string();
        resource->gid_ = group.empty() ? ::getegid() : VDGroupIdForName(group);
        resource->mask_ = parseMask(VDRequiredValue(entry, "Mask", 359).string());
        parsed = std::move(resource);
    });
    return parsed;
}

std::shared_ptr<VDUninstallResource> VDInstallResource::uninstallResourceWithDictionary(const pf::Value& entry) {
    std::shared_ptr<VDUninstallResource> parsed;
    VDGuard(393, [&] {
        const std::string& text = VDRequiredValue(entry, "Path", 376).string();
        const bool fromHome = text.rfind("~/", 0) == 0;
        if (!fromHome && text.rfind('/', 0) != 0) pf::raise(pf::NSInvalidArgumentException, "Invalid resource path.");
        std::string path = text;
        // Without a known home the text stays as it is, as the platform's tilde expansion leaves it.
        if (fromHome) {
            if (auto home = VDHomeDirectoryForUid(::geteuid())) path = *home + text.substr(1);
        }
        auto url = pf::URL::fileURLWithPath(pf::standardizePath(path));
        if (!url) VDFailCheck(383);
        parsed = std::make_shared<VDUninstallResource>(*url, booleanOrFalse(entry, "IgnoreForced"));
    });
    return parsed;
}

std::uint64_t VDInstallResource::uniqueResourceIdentifier() const {
    const auto path = fileSystemPath(from_);
    struct stat st {};
    if (!path || vdfs::statAt(AT_FDCWD, *path, st) != 0) return 0;
    return identityOf(st);
}

bool VDInstallResource::matchesExpectedIdentity(int fd) const {
    struct stat st {};
    if (vdfs::statAt(fd, "", st) != 0) return false;
    const std::uint64_t identity = identityOf(st);
    return identity != 0 && identity == expectedID_;
}

bool VDInstallResource::openValidatedSource(int within, const std::string& relativePath, pf::UniqueFd& source,
                                            pf::Error* out) const {
    source.reset();
    if (!from_) {
        if (out) *out = pf::Error();
        return true;
    }
    // O_NOFOLLOW refuses a final symlink; O_NONBLOCK keeps a FIFO from
    // blocking the open; O_NOCTTY keeps a terminal from becoming ours.
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    vdfs::Opened opened;
    if (within >= 0) {
        opened = vdfs::openResolved(within, relativePath, kFlags, vdfs::kBeneathNoLinks);
    } else if (auto path = fileSystemPath(from_)) {
        opened = vdfs::openAt(AT_FDCWD, *path, kFlags);
    } else {
        opened.error = ENOENT;
    }
    if (opened.error == 0 && matchesExpectedIdentity(opened.fd.get())) {
        source = std::move(opened.fd);
        if (out) *out = pf::Error();
        return true;
    }
    if (out) *out = VDFailingURLError(EPERM, *from_);
    return false;
}

bool VDInstallResource::validateAndReturnError(pf::Error* out) const {
    bool valid = true;
    if (from_) {
        // The identity is taken without following a final symlink, so a
        // symlink put in the source's place never matches what was recorded.
        const auto path = fileSystemPath(from_);
        struct stat st {};
        valid = path && vdfs::statAt(AT_FDCWD, *path, st) == 0 && !S_ISLNK(st.st_mode) && identityOf(st) != 0 &&
                identityOf(st) == expectedID_;
    }
    if (out) *out = valid ? pf::Error() : VDFailingURLError(EPERM, *from_);
    return valid;
}

bool VDInstallResource::isEqual(const VDInstallResource& other) const {
    return from_ && other.from_ && *from_ == *other.from_;
}

std::size_t VDInstallResource::hash() const {
    return from_ ? std::hash<std::string>{}(from_->absoluteString()) : 0;
}
