#pragma once
// A string as a JSON string literal: quoted, with the characters JSON does
// not allow raw escaped. Bytes are passed through, so UTF-8 stays UTF-8.
#include <string>
#include <string_view>

namespace pf {

std::string jsonString(std::string_view text);

} // namespace pf
