#pragma once
// File-system queries: item counts and recursive sizes read in bulk per
// directory, volume names and capabilities, unique names, deep comparison of
// two trees, the custom volume icon and the recovery-volume test.
//
// Sizes follow the platform's error convention: 0 on failure with the cause
// in errno (-50 for an empty path, else the errno of the failed call). A
// directory that cannot be read counts 0 with its subtree; no symlink is
// followed and no other file system is entered.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/URL.h"

std::optional<std::uint32_t> itemCountForDirectory(const std::string& path);
std::uint64_t logicalSizeOfDirectory(const std::string& path);
// Allocated bytes; where an item's allocation is below its length (sparse,
// compressed or not yet allocated), its length rounded up to whole blocks of
// the file system holding the starting path.
std::uint64_t physicalSizeOfDirectory(const std::string& path);

// The file-system label of the volume holding the item, else the last
// component of its mount point; nullopt when the volume cannot be found.
std::optional<std::string> volumeNameAtURL(const pf::URL& url);
std::optional<std::string> volumeNameAtPath(const std::string& path);
bool volumeSupportsLargeFiles(const pf::URL& url);

// The path when nothing is there, else "<path> 1", "<path> 2"... (the number
// after the whole last component, extension included); nullopt only when a
// million names are taken.
std::optional<std::string> makePathUnique(const std::string& path);

// isDirectory:equalToDirectory:, named after its first keyword like every
// operation here. True when both are directories and their sorted lists of
// subpaths pair up one by one (names are not compared): same kind, and for
// files the same bytes; for symlinks, the same target text (not followed).
bool isDirectory(const std::string& pathA, const std::string& pathB);

bool itemHasCustomIcon(const std::optional<pf::URL>& url);
// With an icon file, copies it to ".VolumeIcon.icns" at the volume's root
// and sets the root's custom-icon flag; with none, removes both.
bool setCustomIconWithICNSResource(const std::optional<pf::URL>& icon, const std::optional<pf::URL>& volume);
bool isVandrelRecoveryVolumeAtMountedURL(const pf::URL& volume);
