#include "support/text/u8string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utf8cpp/utf8.h>

namespace {

TEST(U8String, AcceptedInputsAndTheirNormalForm) {
    const struct {
        const char* name;
        std::string input, text;
        bool ascii;
    } cases[] = {
        {"empty", "", "", true},
        {"ascii", "VolumeSmith.log", "VolumeSmith.log", true},
        {"e + combining acute composes", "e\xCC\x81", "\xC3\xA9", false},
        {"precomposed e-acute kept", "\xC3\xA9", "\xC3\xA9", false},
        {"hangul jamo compose", "\xE1\x84\x80\xE1\x85\xA1", "\xEA\xB0\x80", false},
        {"noncharacter without a mark kept", "\xEF\xBF\xBE" "a", "\xEF\xBF\xBE" "a", false},
        {"embedded NUL kept", std::string("a\0b", 3), std::string("a\0b", 3), true},
        {"largest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", false},
    };
    for (const auto& c : cases) {
        const u8string s(c.input);
        EXPECT_EQ(std::make_pair(s.text(), s.ascii()), std::make_pair(c.text, c.ascii)) << c.name;
    }
}

TEST(U8String, MalformedInputCarriesTheLeadByte) {
    const struct {
        const char* name;
        std::string input;
        std::uint8_t byte;
    } cases[] = {
        {"overlong NUL", "a\xC0\x80", 0xC0},
        {"surrogate", "\xED\xA0\x80", 0xED},
        {"above U+10FFFF", "\xF4\x90\x80\x80", 0xF4},
        {"lone continuation", "ab\x80", 0x80},
        {"3-byte sequence cut at the end", "x\xE2\x82", 0xE2},
        {"bad trail byte", "\xC3(", 0xC3},
        {"error after an ascii run", "0123456789abcdef\xC1\xBF", 0xC1},
        {"noncharacter with a combining mark", "\xEF\xBF\xBF" "e\xCC\x81", 0},
        {"U+FDD0 with a combining mark", "\xEF\xB7\x90\xCC\x81", 0},
    };
    for (const auto& c : cases) {
        try {
            u8string s(c.input);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const utf8::invalid_utf8& e) {
            EXPECT_EQ(e.utf8_octet(), c.byte) << c.name;
            EXPECT_STREQ(e.what(), "Invalid UTF-8") << c.name;
        }
    }
}

TEST(U8String, PointerFormStopsAtNulOrLengthAndRefusesNull) {
    const char bytes[] = "ab\0cd";
    EXPECT_EQ(u8string(bytes, 0).text(), "ab");
    EXPECT_EQ(u8string(bytes, 5).text(), std::string(bytes, 5));
    try {
        u8string s(nullptr, 3);
        ADD_FAILURE() << "null accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "u8string NULL");
    }
}

} // namespace
