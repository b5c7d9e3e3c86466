#include "support/text/u8string.h"

#include <utf8proc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <utf8cpp/utf8.h>

const u8string u8string_bom("\xEF\xBB\xBF", 3);

namespace {

// No code point below U+0300 has a non-zero canonical combining class, so the
// Latin-1 range skips the property lookup.
constexpr std::uint32_t kFirstCombiningMark = 0x300;
// Hangul vowel and trailing-consonant jamo have combining class 0 yet compose
// arithmetically with the jamo before them (U+1100 U+1161 is U+AC00), so they
// also send the text through the normaliser. Bounds are the Unicode
// standard's VBase and TBase + TCount - 1.
constexpr std::uint32_t kFirstHangulVowelJamo = 0x1161;
constexpr std::uint32_t kLastHangulTrailingJamo = 0x11C2;

struct ScanCounts {
    std::size_t codePoints = 0;
    std::size_t asciiCodePoints = 0;
    std::size_t combiningMarks = 0;
    bool noncharacter = false;
};

bool isAsciiWord(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return (word & 0x8080808080808080ULL) == 0;
}

// U+FFFE, U+FFFF and U+FDD0 to U+FDEF: the utf8proc in use accepts them, but
// normalised text must not carry them.
bool isNoncharacter(std::uint32_t cp) {
    return cp == 0xFFFE || cp == 0xFFFF || (cp >= 0xFDD0 && cp <= 0xFDEF);
}

bool composesWithPrevious(std::uint32_t cp) {
    if (cp >= kFirstHangulVowelJamo && cp <= kLastHangulTrailingJamo) return true;
    return utf8proc_get_property(static_cast<utf8proc_int32_t>(cp))->combining_class != 0;
}

// Decodes every code point; any failure of the decoder (bad lead or trail
// byte, overlong form, surrogate, beyond U+10FFFF, cut short) leaves as
// invalid_utf8 carrying the lead byte of the sequence concerned.
ScanCounts scan(const unsigned char* p, const unsigned char* end) {
    ScanCounts counts;
    while (p < end) {
        if (end - p >= 8 && isAsciiWord(p)) {
            p += 8;
            counts.codePoints += 8;
            counts.asciiCodePoints += 8;
            continue;
        }
        if (*p < 0x80) {
            ++p;
            ++counts.codePoints;
            ++counts.asciiCodePoints;
            continue;
        }
        const unsigned char* start = p;
        std::uint32_t cp;
        try {
            cp = utf8::next(p, end);
        } catch (const utf8::exception&) {
            throw utf8::invalid_utf8(static_cast<std::uint8_t>(*start));
        }
        ++counts.codePoints;
        if (cp >= kFirstCombiningMark && composesWithPrevious(cp)) ++counts.combiningMarks;
        counts.noncharacter = counts.noncharacter || isNoncharacter(cp);
    }
    return counts;
}

std::string normalizeToNFC(const unsigned char* bytes, std::size_t length) {
    utf8proc_uint8_t* out = nullptr;
    utf8proc_ssize_t n = utf8proc_map(bytes, static_cast<utf8proc_ssize_t>(length), &out,
                                      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
    if (n == UTF8PROC_ERROR_NOMEM) throw std::bad_alloc();
    if (n < 0) throw utf8::invalid_utf8(std::uint8_t{0});
    return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

} // namespace

u8string::u8string(const char* bytes, std::size_t length) {
    if (bytes == nullptr) throw std::invalid_argument("u8string NULL");
    assign(bytes, length == 0 ? std::strlen(bytes) : length);
}

u8string::u8string(const std::string& bytes) { assign(bytes.data(), bytes.size()); }

void u8string::assign(const char* bytes, std::size_t length) {
    const auto* begin = reinterpret_cast<const unsigned char*>(bytes);
    ScanCounts counts = scan(begin, begin + length);
    ascii_ = counts.asciiCodePoints == counts.codePoints;
    if (ascii_ || counts.combiningMarks == 0) {
        text_.assign(bytes, length);
        return;
    }
    if (counts.noncharacter) throw utf8::invalid_utf8(std::uint8_t{0});
    text_ = normalizeToNFC(begin, length);
}
