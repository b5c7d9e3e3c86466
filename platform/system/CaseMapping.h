#pragma once
// Upper-casing as the platform's uppercaseString does: full Unicode case
// mapping (ß becomes SS) in the root locale, through ICU.
#include <string>
#include <string_view>

namespace pf {

// The text unchanged when it is not valid UTF-8.
std::string uppercaseString(std::string_view text);

} // namespace pf
