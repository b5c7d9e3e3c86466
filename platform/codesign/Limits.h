#pragma once
// Bounds on what a bundle, its signature files and the trusted keys may hold.
// Everything read from a bundle is hostile until its signature checks, and
// some of it even after, so every count and size is capped.
#include <cstddef>

namespace pf::codesign {

inline constexpr std::size_t kMaxBundleEntries = 1'000'000;
inline constexpr std::size_t kMaxRelativePathBytes = 4096;
// Folder nesting below the bundle's root; each level holds one descriptor open.
inline constexpr std::size_t kMaxFolderDepth = 128;
inline constexpr std::size_t kMaxManifestBytes = 64u << 20;
inline constexpr std::size_t kMaxSignatureFileBytes = 64u << 10;
inline constexpr std::size_t kMaxKeyFileBytes = 16u << 10;
inline constexpr std::size_t kMaxLinkTargetBytes = 4096;
inline constexpr std::size_t kEd25519SignatureBytes = 64;

// Where the signature lives, relative to the bundle's root.
inline constexpr const char* kContentsFolder = "Contents";
inline constexpr const char* kSignatureFolder = "_CodeSignature";
inline constexpr const char* kSignatureFolderPath = "Contents/_CodeSignature";
inline constexpr const char* kManifestFile = "CodeResources";
inline constexpr const char* kSignatureFile = "CodeSignature";

} // namespace pf::codesign
