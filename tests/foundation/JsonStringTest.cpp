#include <gtest/gtest.h>

#include "platform/foundation/JsonString.h"

namespace {

TEST(JsonString, EscapesWhatJsonForbidsAndKeepsTheRest) {
    struct Case {
        std::string_view in;
        const char* out;
    };
    using namespace std::string_view_literals;
    for (const Case& c : {Case{"plain", "\"plain\""}, Case{"a\"b\\c", "\"a\\\"b\\\\c\""},
                          Case{"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""}, Case{"\x01\x1f"sv, "\"\\u0001\\u001f\""},
                          Case{"\0x"sv, "\"\\u0000x\""}, Case{"caf\xc3\xa9 \x7f", "\"caf\xc3\xa9 \x7f\""}}) {
        EXPECT_EQ(pf::jsonString(c.in), c.out) << c.out;
    }
}

} // namespace
