#include "platform/codesign/ManifestCoding.h"

#include "platform/codesign/Limits.h"
#include "platform/codesign/SealablePath.h"
#include "platform/foundation/PropertyList.h"

namespace pf::codesign {

namespace {

using Kind = SealedManifest::Entry::Kind;

constexpr std::int64_t kModeBits = 07777;

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::File: return "file";
    case Kind::Link: return "link";
    case Kind::Directory: return "directory";
    }
    return "?";
}

bool isLowerHexDigest(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

const Value* member(const Value& dictionary, std::string_view key, Value::Kind kind) {
    const Value* value = dictionary.find(key);
    return value && value->kind() == kind ? value : nullptr;
}

std::optional<mode_t> modeOf(const Value& entry) {
    const Value* mode = member(entry, "mode", Value::Kind::Integer);
    if (!mode || mode->integer() < 0 || mode->integer() > kModeBits) return std::nullopt;
    return static_cast<mode_t>(mode->integer());
}

// One manifest entry, or nullopt when it is incomplete or of no known kind.
std::optional<SealedManifest::Entry> decodeEntry(const Value& value) {
    if (!value.isDictionary()) return std::nullopt;
    const Value* kind = member(value, "kind", Value::Kind::String);
    if (!kind) return std::nullopt;
    SealedManifest::Entry entry;
    if (kind->string() == "file") {
        const Value* hash = member(value, "sha256", Value::Kind::String);
        const auto mode = modeOf(value);
        if (!hash || !isLowerHexDigest(hash->string()) || !mode) return std::nullopt;
        entry.kind = Kind::File;
        entry.hashHex = hash->string();
        entry.mode = *mode;
    } else if (kind->string() == "link") {
        const Value* target = member(value, "target", Value::Kind::String);
        if (!target || target->string().empty() || target->string().size() > kMaxLinkTargetBytes) return std::nullopt;
        entry.kind = Kind::Link;
        entry.linkTarget = target->string();
    } else if (kind->string() == "directory") {
        const auto mode = modeOf(value);
        if (!mode) return std::nullopt;
        entry.kind = Kind::Directory;
        entry.mode = *mode;
    } else {
        return std::nullopt;
    }
    return entry;
}

std::string parentOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

} // namespace

std::optional<std::string> encodeManifest(const SealedEntries& entries, std::string* why) {
    Dictionary files;
    for (const auto& [path, entry] : entries) {
        Dictionary item{{"kind", kindName(entry.kind)}};
        switch (entry.kind) {
        case Kind::File:
            item["sha256"] = entry.hashHex;
            item["mode"] = static_cast<std::int64_t>(entry.mode & kModeBits);
            break;
        case Kind::Link: item["target"] = entry.linkTarget; break;
        case Kind::Directory: item["mode"] = static_cast<std::int64_t>(entry.mode & kModeBits); break;
        }
        files.emplace(path, std::move(item));
    }
    auto xml = xmlPropertyList(Value(Dictionary{{"files", std::move(files)}}));
    if (!xml) {
        *why = "the manifest cannot be written as a property list";
    } else if (xml->size() > kMaxManifestBytes) {
        *why = "the manifest is larger than " + std::to_string(kMaxManifestBytes) + " bytes";
        return std::nullopt;
    }
    return xml;
}

std::optional<SealedEntries> decodeManifest(std::string_view bytes, std::string* why) {
    // A dictionary and up to three values for each entry, plus the frame.
    PropertyListLimits limits;
    limits.maxBytes = kMaxManifestBytes;
    limits.maxObjects = 4 * kMaxBundleEntries + 8;
    limits.maxDepth = 8;
    const auto plist = propertyListFromBytes(bytes, limits);
    const Value* files = plist && plist->isDictionary() ? member(*plist, "files", Value::Kind::Dictionary) : nullptr;
    if (!files) {
        *why = "the manifest is not a property list with a \"files\" dictionary";
        return std::nullopt;
    }
    if (files->dictionary().size() > kMaxBundleEntries) {
        *why = "the manifest lists more than " + std::to_string(kMaxBundleEntries) + " items";
        return std::nullopt;
    }
    SealedEntries entries;
    for (const auto& [path, value] : files->dictionary()) {
        if (!isSealablePath(path)) {
            *why = "the manifest holds a path that cannot be sealed: \"" + path + "\"";
            return std::nullopt;
        }
        auto entry = decodeEntry(value);
        if (!entry) {
            *why = "the manifest's entry for " + path + " is malformed";
            return std::nullopt;
        }
        entries.emplace(path, std::move(*entry));
    }
    // The walk reaches an item only through its folders, so a manifest that
    // lacks one of them could never match a bundle.
    for (const auto& [path, entry] : entries) {
        const std::string parent = parentOf(path);
        if (parent.empty()) continue;
        const auto it = entries.find(parent);
        if (it == entries.end() || it->second.kind != Kind::Directory) {
            *why = "the manifest lists " + path + " but not its folder";
            return std::nullopt;
        }
    }
    return entries;
}

std::optional<std::string> encodeSignature(const SignatureRecord& record, std::string* why) {
    auto xml = xmlPropertyList(Value(Dictionary{{"key", record.keyName}, {"signature", Data(record.signature)}}));
    if (!xml) *why = "the signature cannot be written as a property list";
    return xml;
}

std::optional<SignatureRecord> decodeSignature(std::string_view bytes, std::string* why) {
    PropertyListLimits limits;
    limits.maxBytes = kMaxSignatureFileBytes;
    limits.maxObjects = 16;
    limits.maxDepth = 4;
    const auto plist = propertyListFromBytes(bytes, limits);
    const Value* key = plist && plist->isDictionary() ? member(*plist, "key", Value::Kind::String) : nullptr;
    const Value* signature = plist && plist->isDictionary() ? member(*plist, "signature", Value::Kind::Data) : nullptr;
    if (!key || !signature) {
        *why = "the signature file is not a property list with \"key\" and \"signature\"";
        return std::nullopt;
    }
    if (!isValidKeyName(key->string())) {
        *why = "the signature names a key with an invalid name";
        return std::nullopt;
    }
    if (signature->data().size() != kEd25519SignatureBytes) {
        *why = "the signature is not an Ed25519 signature";
        return std::nullopt;
    }
    return SignatureRecord{key->string(), signature->data()};
}

} // namespace pf::codesign
