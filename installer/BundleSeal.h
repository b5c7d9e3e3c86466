#pragma once
// The installer's view of bundle signatures, over platform/codesign. A
// bundle validates when its manifest is signed by a trusted key and its items
// are exactly those of the manifest; the validated manifest is then kept, so
// that every byte the install copies can be held against it while it is
// copied (the bundle may change on disk after it was validated).
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/Sha256.h"
#include "platform/foundation/URL.h"

class VDBundleSeal {
public:
    // The seal of the bundle at the path, or nullptr when it fails validation.
    static std::shared_ptr<const VDBundleSeal> validate(const std::string& bundlePath);
    explicit VDBundleSeal(pf::codesign::SealedManifest manifest) : manifest_(std::move(manifest)) {}

    // Paths are relative to the bundle's root folder ("Contents/Resources/x").
    bool sealsContents(std::string_view relativePath, const pf::codesign::Sha256Digest& digest) const;
    bool sealsFile(std::string_view relativePath, const pf::codesign::Sha256Digest& digest, mode_t mode) const;
    bool sealsSymlink(std::string_view relativePath, std::string_view target) const;
    bool sealsDirectory(std::string_view relativePath, mode_t mode) const;
    // How many sealed items the path and everything below it make up.
    std::size_t sealedItemsAtOrBelow(std::string_view relativePath) const;

private:
    pf::codesign::SealedManifest manifest_;
};

// The path of `path` relative to the folder `root` when it lies strictly
// below it (compared lexically, both standardised), else nullopt.
std::optional<std::string> VDPathBelow(const std::string& root, const std::string& path);

// The code-signature validation of one item (a "CSV" source): the nearest
// folder at or above it that carries a signature must verify, and the item
// (with everything below it) must be exactly what that seal holds. An item
// that is itself a signed bundle is verified as a whole.
bool VDItemPassesSignatureValidation(const pf::URL& item);
