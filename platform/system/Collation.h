#pragma once
// String ordering through ICU collation (root locale), for comparisons that
// must read digits as numbers and ignore case.
#include <string_view>

namespace pf {

// -1, 0 or 1. Case-insensitive (differences of case and accents count only
// when nothing else differs), digit runs compared by numeric value, and
// forced ordering: strings that collate equal but differ are still ordered
// (by case, then by code point), so 0 means the strings are identical.
int compareCaseInsensitiveNumeric(std::string_view a, std::string_view b);

} // namespace pf
