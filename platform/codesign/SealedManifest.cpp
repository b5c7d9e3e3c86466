#include <string>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/FileAccess.h"
#include "platform/codesign/Limits.h"
#include "platform/codesign/ManifestCoding.h"
#include "platform/codesign/TrustedKeys.h"

namespace pf::codesign {

std::optional<SealedManifest> SealedManifest::load(const std::string& bundlePath, std::string* why) {
    std::string sink;
    if (!why) why = &sink;
    UniqueFd bundle = openBundleFolder(bundlePath, why);
    if (!bundle) return std::nullopt;
    return loadAt(bundle.get(), why);
}

std::optional<SealedManifest> SealedManifest::loadAt(int bundleFd, std::string* why) {
    std::string sink;
    if (!why) why = &sink;
    std::string reason;
    UniqueFd contents = openFolderAt(bundleFd, kContentsFolder, &reason);
    UniqueFd folder = contents ? openFolderAt(contents.get(), kSignatureFolder, &reason) : UniqueFd();
    if (!folder) {
        *why = "the bundle is not signed (" + reason + ")";
        return std::nullopt;
    }
    auto signatureBytes = readRegularFileAt(folder.get(), kSignatureFile, kMaxSignatureFileBytes, &reason);
    auto manifestBytes = signatureBytes ? readRegularFileAt(folder.get(), kManifestFile, kMaxManifestBytes, &reason)
                                        : std::nullopt;
    if (!manifestBytes) {
        *why = "the bundle's signature cannot be read (" + reason + ")";
        return std::nullopt;
    }
    auto record = decodeSignature(*signatureBytes, why);
    if (!record) return std::nullopt;
    auto key = loadTrustedKey(record->keyName, why);
    if (!key) return std::nullopt;
    // Nothing of the manifest is parsed before its bytes are known to be signed.
    if (!key->verify(*manifestBytes, record->signature)) {
        *why = "the signature of the manifest does not verify with the key \"" + record->keyName + "\"";
        return std::nullopt;
    }
    auto entries = decodeManifest(*manifestBytes, why);
    if (!entries) return std::nullopt;
    SealedManifest manifest;
    manifest.entries_ = std::move(*entries);
    manifest.keyName_ = std::move(record->keyName);
    return manifest;
}

const SealedManifest::Entry* SealedManifest::find(std::string_view relativePath) const {
    const auto it = entries_.find(relativePath);
    return it == entries_.end() ? nullptr : &it->second;
}

} // namespace pf::codesign
