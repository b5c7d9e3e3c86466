#pragma once
// Property-list serialisation (libplist underneath): reading XML or binary
// ("bplist00") bytes, writing binary version 1.0 and XML.
//
// The reader is meant for hostile bytes: before libplist sees binary input,
// its trailer, offset table and object references are checked, and nesting
// depth, object count and total size are bounded, so malformed input yields
// nullopt, never a crash, a hang or an unbounded allocation.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace pf {

struct PropertyListLimits {
    std::size_t maxBytes = 64u << 20;
    std::size_t maxObjects = 1u << 20;
    std::size_t maxDepth = 64;
};

std::optional<Value> propertyListFromBytes(std::string_view bytes, const PropertyListLimits& limits = {});
std::optional<Value> propertyListFromBytes(const Data& bytes, const PropertyListLimits& limits = {});
// Reads the whole file (at most limits.maxBytes) without following a final
// symlink; nullopt when it cannot be read or does not parse.
std::optional<Value> propertyListFromFile(const std::string& path, const PropertyListLimits& limits = {});

// nullopt when the value is not a property list (null or object inside).
std::optional<Data> binaryPropertyList(const Value& value);
std::optional<std::string> xmlPropertyList(const Value& value);

} // namespace pf
