#pragma once
// Bundle signatures. A signed bundle holds, in Contents/_CodeSignature/:
//   CodeResources  an XML property list: { "files": { "<relative path>": entry } }
//                  where an entry is { "kind": "file", "sha256": "<hex>", "mode": n }
//                  | { "kind": "link", "target": "<symlink text>" } | { "kind": "directory", "mode": n }
//                  for every item of the bundle except the _CodeSignature folder;
//   CodeSignature  an XML property list { "key": "<name of the signing key>",
//                  "signature": <data: Ed25519 signature of the exact bytes of CodeResources> }.
// Trusted public keys are PEM files "<name>.pub" in the trusted-keys folder
// ($VICAR_TRUSTED_KEYS_DIR, else /etc/vicar/trusted-keys), which must be owned
// by root and writable by root alone (a test may own it itself when not root).
// Every file is read without following symlinks and with bounded sizes.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/codesign/Sha256.h"

namespace pf::codesign {

class SealedManifest {
public:
    struct Entry {
        enum Kind { File, Link, Directory };
        Kind kind = File;
        std::string hashHex;    // File: lower-case SHA-256 hex
        std::string linkTarget; // Link: the symlink's text
        mode_t mode = 0;        // File/Directory: permission bits (07777)
    };

    // The manifest of the bundle at bundlePath, when its signature verifies
    // against a trusted key; nullopt with the reason in *why otherwise. Does
    // not compare the bundle's files with it (see verifyBundle).
    static std::optional<SealedManifest> load(const std::string& bundlePath, std::string* why);
    // The same for a bundle folder the caller holds open; the descriptor stays
    // the caller's. Checking through one descriptor keeps a swapped path out.
    static std::optional<SealedManifest> loadAt(int bundleFd, std::string* why);

    // nullptr when the path (relative to the bundle's root, "Contents/...",
    // no leading "/" and no "." or ".." components) is not sealed.
    const Entry* find(std::string_view relativePath) const;
    const std::map<std::string, Entry, std::less<>>& entries() const { return entries_; }
    const std::string& keyName() const { return keyName_; }

private:
    std::map<std::string, Entry, std::less<>> entries_;
    std::string keyName_;
};

// The trusted-keys folder in use.
std::string trustedKeysDirectory();

// The whole check: the signature verifies and the bundle's items are exactly
// those of the manifest (same kinds, hashes, link targets; nothing added or
// missing). On success returns the manifest; else nullopt with the reason.
std::optional<SealedManifest> verifyBundle(const std::string& bundlePath, std::string* why);

// Signs the bundle with the PEM Ed25519 private key at keyPath: writes
// Contents/_CodeSignature/{CodeResources,CodeSignature}; the key's name is
// the key file's name without its extension. false with the reason on failure.
bool signBundle(const std::string& bundlePath, const std::string& keyPath, std::string* why);

// Writes <prefix>.key (mode 0600) and <prefix>.pub, a new Ed25519 key pair.
bool generateKeyPair(const std::string& prefix, std::string* why);

} // namespace pf::codesign
