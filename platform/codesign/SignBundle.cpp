#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/codesign/BundleWalk.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/Ed25519Key.h"
#include "platform/codesign/FileAccess.h"
#include "platform/codesign/Limits.h"
#include "platform/codesign/ManifestCoding.h"
#include "platform/codesign/SealablePath.h"

namespace pf::codesign {

namespace {

// "keys/packager.key" -> "packager".
std::string keyNameOf(const std::string& keyPath) {
    const std::size_t slash = keyPath.rfind('/');
    std::string name = slash == std::string::npos ? keyPath : keyPath.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

std::optional<SealedEntries> sealItems(int bundleFd, std::string* why) {
    SealedEntries entries;
    const bool walked = walkBundle(
        bundleFd,
        [&](const BundleItem& item, std::string* reason) {
            SealedManifest::Entry entry;
            entry.kind = item.kind;
            entry.mode = item.mode;
            entry.linkTarget = item.linkTarget;
            if (item.kind == SealedManifest::Entry::File) {
                const auto digest = sha256File(item.fd);
                if (!digest) {
                    *reason = describeErrno("cannot read " + item.path);
                    return false;
                }
                entry.hashHex = toHex(*digest);
            }
            entries.emplace(item.path, std::move(entry));
            return true;
        },
        why);
    if (!walked) return std::nullopt;
    return entries;
}

UniqueFd signatureFolder(int contentsFd, std::string* why) {
    if (::mkdirat(contentsFd, kSignatureFolder, 0755) != 0 && errno != EEXIST) {
        *why = describeErrno(std::string("cannot create ") + kSignatureFolderPath);
        return UniqueFd();
    }
    return openFolderAt(contentsFd, kSignatureFolder, why);
}

} // namespace

bool signBundle(const std::string& bundlePath, const std::string& keyPath, std::string* why) {
    std::string sink;
    if (!why) why = &sink;
    if (bundlePath.empty() || keyPath.empty()) {
        *why = "a bundle and a key are needed";
        return false;
    }
    const std::string keyName = keyNameOf(keyPath);
    if (!isValidKeyName(keyName)) {
        *why = "the key's name \"" + keyName + "\" is not made of letters, digits, '.', '_' and '-'";
        return false;
    }
    std::string reason;
    auto pem = readRegularFileAt(AT_FDCWD, keyPath, kMaxKeyFileBytes, &reason);
    auto key = pem ? Ed25519Key::fromPrivatePem(*pem, &reason) : std::nullopt;
    if (!key) {
        *why = "the key " + keyPath + " cannot be used (" + reason + ")";
        return false;
    }

    UniqueFd bundle = openFolder(bundlePath, why);
    if (!bundle) return false;
    UniqueFd contents = openFolderAt(bundle.get(), kContentsFolder, &reason);
    if (!contents) {
        *why = "the bundle has no Contents folder (" + reason + ")";
        return false;
    }
    auto entries = sealItems(bundle.get(), why);
    if (!entries) return false;
    auto manifest = encodeManifest(*entries, why);
    if (!manifest) return false;
    auto signature = key->sign(*manifest, why);
    if (!signature) return false;
    auto record = encodeSignature(SignatureRecord{keyName, std::move(*signature)}, why);
    if (!record) return false;

    UniqueFd folder = signatureFolder(contents.get(), why);
    // The manifest first: until the new signature lands, the pair fails to
    // verify rather than vouching for the wrong content.
    return folder && replaceFileAt(folder.get(), kManifestFile, *manifest, 0644, why) &&
           replaceFileAt(folder.get(), kSignatureFile, *record, 0644, why);
}

} // namespace pf::codesign
