#pragma once
// Reading the BOM file as the installer trusts it: never through a symlink,
// only a regular file, at most a bounded size; the bytes come back with their
// SHA-256 so that what is parsed can be held against the bundle's seal.
#include <cstddef>
#include <optional>
#include <string>

#include "platform/codesign/Sha256.h"
#include "platform/foundation/Value.h"

inline constexpr std::size_t kVDMaxBOMFileBytes = 16u << 20;

struct BOMFileContents {
    pf::Value topLevel;
    pf::codesign::Sha256Digest sha256{};
};

// nullopt when the file is a symlink, no regular file, too big, unreadable
// or no property list.
std::optional<BOMFileContents> VDReadBOMFile(const std::string& path);
