#pragma once
// The two files of a signature as XML property lists: the manifest
// (CodeResources) and the signature over its bytes (CodeSignature).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codesign/CodeSignature.h"

namespace pf::codesign {

using SealedEntries = std::map<std::string, SealedManifest::Entry, std::less<>>;

std::optional<std::string> encodeManifest(const SealedEntries& entries, std::string* why);
// Every path is sealable, every folder on a path has an entry of its own, and
// every entry is complete; else nullopt with the reason.
std::optional<SealedEntries> decodeManifest(std::string_view bytes, std::string* why);

struct SignatureRecord {
    std::string keyName;
    std::vector<std::uint8_t> signature;
};

std::optional<std::string> encodeSignature(const SignatureRecord& record, std::string* why);
std::optional<SignatureRecord> decodeSignature(std::string_view bytes, std::string* why);

} // namespace pf::codesign
