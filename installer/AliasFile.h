#pragma once
// The alias of the last installed bundle: "VolumeSmith.alias" in the shared
// application-support folder. Linux has no bookmark files, so the alias is a
// binary property list {"path", "device", "inode", "name"} that lets a later
// reader find the bundle again (and notice when the path now names another
// item).
#include <optional>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

// The bookmark of an existing item, or nullopt when it cannot be examined.
std::optional<pf::Data> VDBookmarkDataForURL(const pf::URL& url);
// Replaces the alias file atomically; false when it could not be written.
bool VDWriteAliasFile(const std::string& folder, const pf::Data& bookmark);
// The URL of the item the alias file records, when it still exists with the
// same device and inode.
std::optional<pf::URL> VDResolveAliasFile(const std::string& aliasPath);

inline constexpr const char* kVDAliasFileName = "VolumeSmith.alias";
