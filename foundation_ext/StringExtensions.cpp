#include "foundation_ext/StringExtensions.h"

#include <utf8cpp/utf8.h>

#include <cstdlib>

#include "platform/system/Collation.h"

int caseInsensitiveNumericCompare(std::string_view self, std::string_view other) {
    return pf::compareCaseInsensitiveNumeric(self, other);
}

std::uint64_t unsignedLongLongValue(const std::string& self) {
    return std::strtoull(self.c_str(), nullptr, 10);
}

std::string vd_stringByRemovingCharactersInSet(std::string_view self, const pf::CharacterSet& set) {
    std::string result;
    pf::forEachCharacter(self, [&](char32_t c, std::string_view bytes) {
        if (!set.characterIsMember(c)) result += bytes;
    });
    return result;
}

std::string vd_stringByReplacingCharactersInSet(std::string_view self, const pf::CharacterSet& set,
                                                std::string_view replacement) {
    std::string result;
    bool keptText = false;
    bool inSetRun = false;
    pf::forEachCharacter(self, [&](char32_t c, std::string_view bytes) {
        if (set.characterIsMember(c)) {
            if (!inSetRun && keptText) result += replacement;
            inSetRun = true;
        } else {
            result += bytes;
            keptText = true;
            inSetRun = false;
        }
    });
    return result;
}

std::string stringByTrimmingWhitespace(std::string_view self) {
    return stringByTrimmingCharactersInSet(self, pf::CharacterSet::whitespaceAndNewlineCharacterSet());
}

std::string stringByTrimmingCharactersInSet(std::string_view self, const pf::CharacterSet& set) {
    std::size_t keptBegin = std::string_view::npos, keptEnd = 0, offset = 0;
    pf::forEachCharacter(self, [&](char32_t c, std::string_view bytes) {
        if (!set.characterIsMember(c)) {
            if (keptBegin == std::string_view::npos) keptBegin = offset;
            keptEnd = offset + bytes.size();
        }
        offset += bytes.size();
    });
    return keptBegin == std::string_view::npos ? std::string() : std::string(self.substr(keptBegin, keptEnd - keptBegin));
}

void trimWhitespace(std::string& self) { self = stringByTrimmingWhitespace(self); }

std::optional<std::string> safeFileSystemRepresentation(std::string_view self) {
    if (self.find('\0') != std::string_view::npos || !utf8::is_valid(self.begin(), self.end())) return std::nullopt;
    return std::string(self);
}
