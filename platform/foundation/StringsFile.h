#pragma once
// The text form of a string table: entries "key" = "value"; with C and C++
// comments, escapes (\n \t \r \" \\ \' \a \b \f \v, octal \ooo, \Uxxxx and
// \uxxxx), unquoted words of letters, digits and _$+/:.- for either side, and
// "key"; for an entry whose value is its key. The bytes may be UTF-8 (with or
// without a byte-order mark) or UTF-16 with a byte-order mark.
#include <optional>
#include <string_view>

#include "platform/foundation/Value.h"

namespace pf {

// nullopt for text that is not such a table, or has more entries than maxEntries.
std::optional<Dictionary> parseStringsText(std::string_view bytes, std::size_t maxEntries);

} // namespace pf
