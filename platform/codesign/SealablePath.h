#pragma once
// Which names and paths a manifest may hold, and which key names are valid.
#include <string_view>

namespace pf::codesign {

// One component of a path: non-empty, not "." or "..", no "/", valid UTF-8
// without control characters (so that it survives an XML property list).
bool isSealableName(std::string_view name);

// A path relative to the bundle's root: sealable names joined by "/", no
// leading "/", within the path length bound, outside the signature folder.
bool isSealablePath(std::string_view path);

// [A-Za-z0-9._-]+, at most 128 characters.
bool isValidKeyName(std::string_view name);

} // namespace pf::codesign
