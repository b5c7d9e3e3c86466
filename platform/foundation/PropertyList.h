#pragma once
// Property-list serialisation: reading XML (a leading UTF-8 byte-order mark
// allowed) or binary ("bplist00") bytes, writing binary version 1.0 and XML.
// Binary lists are read and written by our own codec; libplist parses and
// prints XML only, converting it from and to that binary form.
//
// The reader is meant for hostile bytes: binary input has its trailer, offset
// table, object references and contents checked before it is decoded
// (strings must be valid ASCII or UTF-16, dates within the calendar), XML must
// be UTF-8, and nesting depth, object count and total size are bounded, so
// malformed input yields nullopt, never a crash, a hang or an unbounded
// allocation. Binary lists keep every date exactly; XML holds whole seconds of
// the years 1 to 9999. Unsigned integers above INT64_MAX survive both.
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
