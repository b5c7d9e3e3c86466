#pragma once
// Operations added to strings (UTF-8 std::string here): ordering, numeric
// reading, character-set cleaning, trimming and the file-system form.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/CharacterSet.h"

// -1, 0, 1: case-insensitive, digit runs by value, never 0 for different strings.
int caseInsensitiveNumericCompare(std::string_view self, std::string_view other);
// strtoull in base 10: leading blanks and a sign allowed, digits up to the
// first other character, ULLONG_MAX on overflow, 0 without digits.
std::uint64_t unsignedLongLongValue(const std::string& self);

std::string vd_stringByRemovingCharactersInSet(std::string_view self, const pf::CharacterSet& set);
// Every run of set characters after kept text becomes one replacement (also
// at the end); a run at the very start is dropped: "b1" -> "1", "1.0b3" -> "1.0.3".
std::string vd_stringByReplacingCharactersInSet(std::string_view self, const pf::CharacterSet& set,
                                                std::string_view replacement);

// Whole characters of the set removed from both ends.
std::string stringByTrimmingCharactersInSet(std::string_view self, const pf::CharacterSet& set);
std::string stringByTrimmingWhitespace(std::string_view self);
void trimWhitespace(std::string& self);

// The bytes to hand to file-system calls, or nullopt where the platform would
// raise because none can be made (invalid UTF-8, an embedded NUL).
std::optional<std::string> safeFileSystemRepresentation(std::string_view self);
