#pragma once
// Binary property lists ("bplist00") read and written by our own code:
// libplist 2.2 hands dates out as 32-bit seconds and integers as signed 64
// bits, so dates outside 1901-2038 and unsigned integers above INT64_MAX
// would not survive it. Internal to PropertyList.cpp.
#include <optional>
#include <string_view>

#include "platform/foundation/PropertyList.h"

namespace pf {

// nullopt unless the bytes pass isWellFormedBinaryPropertyList and every
// object decodes; the strings and data made hold at most limits.maxBytes.
std::optional<Value> readBinaryPropertyList(std::string_view bytes, const PropertyListLimits& limits);

// The value must be a property list whose strings are NUL-free UTF-8 and
// whose dates are within the calendar; nullopt otherwise.
std::optional<Data> writeBinaryPropertyList(const Value& value);

// Property-list strings are Unicode text without NUL characters (libplist's
// XML writer would cut a string short at one).
bool isPropertyListString(std::string_view s);

} // namespace pf
