#pragma once
// One install entry of a BOM: copy this item of the bundle to that absolute
// path with this owner, group and mode, or create that directory. Parsing
// resolves every path and turns user and group names into ids; the identity
// of the source item is recorded then, so that the copy can later insist on
// the very same file (see openValidatedSource).
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/system/UniqueFd.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

class VDUninstallResource;

class VDInstallResource {
public:
    // A resource, or nullptr when the entry does not parse (the reason is
    // logged as "Exception @ 364: ...").
    static std::shared_ptr<VDInstallResource> installResourceWithDictionary(const pf::Value& entry,
                                                                            const pf::URL& resourceRoot);
    // An uninstall entry (logged as "Exception @ 393: ..." when it does not parse).
    static std::shared_ptr<VDUninstallResource> uninstallResourceWithDictionary(const pf::Value& entry);

    // The identity of the item at `from` now: device (as 32 bits) << 32 ^ inode,
    // without following a final symlink; 0 when there is none.
    std::uint64_t uniqueResourceIdentifier() const;
    // True when the source may be copied: it is still the item seen at parse
    // time and not a symlink. Otherwise false and, in *out, an
    // NSPOSIXErrorDomain error of code 1 naming `from` (an empty error, with
    // no domain, when valid). A resource without `from` is valid.
    bool validateAndReturnError(pf::Error* out) const;

    // The descriptor form of validateAndReturnError, used for copying: opens
    // the source read-only without following a final symlink, checks the
    // identity on that very descriptor and hands it over in `source`, so the
    // copy reads exactly what was checked. With `within` a directory
    // descriptor (the source's folder in the bundle), `relativePath` is
    // resolved beneath it through no symlink at all; with `within` < 0 the
    // path of `from` is opened.
    bool openValidatedSource(int within, const std::string& relativePath, pf::UniqueFd& source, pf::Error* out) const;

    std::uint32_t uid() const { return uid_; }
    void setUid(std::uint32_t uid) { uid_ = uid; }
    std::uint32_t gid() const { return gid_; }
    void setGid(std::uint32_t gid) { gid_ = gid; }
    std::int32_t mask() const { return mask_; }
    void setMask(std::int32_t mask) { mask_ = mask; }
    const std::optional<pf::URL>& from() const { return from_; }
    void setFrom(std::optional<pf::URL> from) { from_ = std::move(from); }
    const std::optional<pf::URL>& to() const { return to_; }
    void setTo(std::optional<pf::URL> to) { to_ = std::move(to); }

    // Equal when both have a `from` and the URLs are equal.
    bool isEqual(const VDInstallResource& other) const;
    std::size_t hash() const;

private:
    bool matchesExpectedIdentity(int fd) const;

    std::uint64_t expectedID_ = 0;
    std::uint32_t uid_ = 0;
    std::uint32_t gid_ = 0;
    std::int32_t mask_ = 0;
    std::optional<pf::URL> from_;
    std::optional<pf::URL> to_;
};
