#include "platform/system/CharacterSet.h"

#include <unicode/uchar.h>
#include <utf8cpp/utf8.h>

#include <set>

namespace pf {

void forEachCharacter(std::string_view text, const std::function<void(char32_t, std::string_view)>& visit) {
    const char* it = text.data();
    const char* end = it + text.size();
    while (it < end) {
        const char* start = it;
        std::uint32_t c = 0;
        if (utf8::internal::validate_next(it, end, c) == utf8::internal::UTF8_OK) {
            visit(static_cast<char32_t>(c), std::string_view(start, static_cast<std::size_t>(it - start)));
        } else {
            it = start + 1;
            visit(U'\uFFFD', std::string_view(start, 1));
        }
    }
}

CharacterSet CharacterSet::characterSetWithCharactersInString(std::string_view characters) {
    std::set<char32_t> members;
    forEachCharacter(characters, [&](char32_t c, std::string_view bytes) {
        if (c != U'\uFFFD' || bytes.size() > 1) members.insert(c);
    });
    return CharacterSet([members = std::move(members)](char32_t c) { return members.count(c) != 0; });
}

CharacterSet CharacterSet::whitespaceAndNewlineCharacterSet() {
    return CharacterSet([](char32_t c) {
        if (c == U'\t' || (c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
        const auto type = u_charType(static_cast<UChar32>(c));
        return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
    });
}

CharacterSet CharacterSet::invertedSet() const {
    return CharacterSet([member = member_](char32_t c) { return !member(c); });
}

CharacterSet CharacterSet::unionWith(const CharacterSet& other) const {
    return CharacterSet([a = member_, b = other.member_](char32_t c) { return a(c) || b(c); });
}

} // namespace pf
