#include <fcntl.h>

#include <cstdio>
#include <string>
#include <unordered_set>

#include "platform/codesign/BundleWalk.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/FileAccess.h"
#include "platform/codesign/SideHasher.h"

namespace pf::codesign {

namespace {

using Kind = SealedManifest::Entry::Kind;

const char* describeKind(Kind kind) {
    switch (kind) {
    case Kind::File: return "a file";
    case Kind::Link: return "a symlink";
    case Kind::Directory: return "a folder";
    }
    return "?";
}

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

// A large file handed to the side hasher (a descriptor of its own, as the
// walk closes its one); false when it must be hashed here.
bool handedOver(const BundleItem& item, const SealedManifest::Entry& sealed, SideHasher& side) {
    if (item.size < SideHasher::kMinBytes) return false;
    UniqueFd own(::fcntl(item.fd, F_DUPFD_CLOEXEC, 0));
    return own && side.add(std::move(own), item.path, sealed.hashHex);
}

// Whether one walked item is the one the manifest seals (a large file's
// content: once the side hasher is finished).
bool matchesSeal(const BundleItem& item, const SealedManifest::Entry* sealed, SideHasher& side, std::string* why) {
    if (!sealed) {
        *why = item.path + " is not sealed (added after signing)";
        return false;
    }
    if (item.kind != sealed->kind) {
        *why = item.path + " is " + describeKind(item.kind) + " but was sealed as " + describeKind(sealed->kind);
        return false;
    }
    if (item.kind != Kind::Link && item.mode != sealed->mode) {
        *why = item.path + " has mode " + octal(item.mode) + " but was sealed with " + octal(sealed->mode);
        return false;
    }
    if (item.kind == Kind::Link && item.linkTarget != sealed->linkTarget) {
        *why = "the symlink " + item.path + " points to \"" + item.linkTarget + "\" but was sealed pointing to \"" +
               sealed->linkTarget + "\"";
        return false;
    }
    if (item.kind == Kind::File && !handedOver(item, *sealed, side)) {
        const auto digest = sha256File(item.fd);
        if (!digest) {
            *why = describeErrno("cannot read " + item.path);
            return false;
        }
        if (toHex(*digest) != sealed->hashHex) {
            *why = item.path + " was modified after signing";
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<SealedManifest> verifyBundle(const std::string& bundlePath, std::string* why) {
    std::string sink;
    if (!why) why = &sink;
    UniqueFd bundle = openBundleFolder(bundlePath, why);
    if (!bundle) return std::nullopt;
    auto manifest = SealedManifest::loadAt(bundle.get(), why);
    if (!manifest) return std::nullopt;

    // Keys of the manifest's map, which stay put while it lives.
    std::unordered_set<std::string_view> seen;
    SideHasher side;
    const bool walked = walkBundle(
        bundle.get(),
        [&](const BundleItem& item, std::string* reason) {
            const SealedManifest::Entry* sealed = manifest->find(item.path);
            if (!matchesSeal(item, sealed, side, reason)) return false;
            seen.insert(manifest->entries().find(item.path)->first);
            return true;
        },
        why);
    if (!walked || !side.finish(why)) return std::nullopt;
    if (seen.size() != manifest->entries().size()) {
        for (const auto& [path, entry] : manifest->entries()) {
            if (!seen.contains(path)) {
                *why = path + " is missing (removed after signing)";
                return std::nullopt;
            }
        }
    }
    return manifest;
}

} // namespace pf::codesign
