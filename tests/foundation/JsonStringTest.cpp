#include <gtest/gtest.h>

#include "platform/foundation/JsonString.h"

namespace {

using namespace std::string_view_literals;

TEST(JsonString, EscapesWhatJsonForbidsAndKeepsTheRest) {
    const std::pair<std::string_view, const char*> cases[] = {
        {"plain", "\"plain\""}, {"a\"b\\c", "\"a\\\"b\\\\c\""}, {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
        {"\x01\x1f"sv, "\"\\u0001\\u001f\""}, {"\0x"sv, "\"\\u0000x\""}, {"caf\xc3\xa9 \x7f", "\"caf\xc3\xa9 \x7f\""}};
    for (const auto& [in, out] : cases) EXPECT_EQ(pf::jsonString(in), out) << out;
}

} // namespace
