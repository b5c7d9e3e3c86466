#pragma once
// The platform's character sets: membership of Unicode code points. Lives
// beside the other ICU-backed pieces because the standard sets are read from
// ICU's character properties.
#include <functional>
#include <string_view>

namespace pf {

class CharacterSet {
public:
    // The code points of a UTF-8 string (invalid bytes add nothing).
    static CharacterSet characterSetWithCharactersInString(std::string_view characters);
    // Unicode separators (Z*), tab, U+000A-U+000D and U+0085.
    static CharacterSet whitespaceAndNewlineCharacterSet();

    bool characterIsMember(char32_t c) const { return member_(c); }
    CharacterSet invertedSet() const;
    CharacterSet unionWith(const CharacterSet& other) const;

private:
    explicit CharacterSet(std::function<bool(char32_t)> member) : member_(std::move(member)) {}
    std::function<bool(char32_t)> member_;
};

// Calls visit(codePoint, bytes) for each character of UTF-8 text; an invalid
// byte is passed alone as U+FFFD, so no byte of the text is lost.
void forEachCharacter(std::string_view text, const std::function<void(char32_t, std::string_view)>& visit);

} // namespace pf
