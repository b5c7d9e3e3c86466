#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>

#include "platform/foundation/Exception.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace {

using pf::Array;
using pf::Data;
using pf::Date;
using pf::Dictionary;
using pf::Value;

TEST(ValueDescription, EachKindPrintsAsThePlatformDoes) {
    const Date date{1796584642.0}; // 2026-12-06 19:17:22 UTC
    Data hundredBytes(100);
    std::iota(hundredBytes.begin(), hundredBytes.end(), 0);
    const std::tuple<const char*, Value, std::string> cases[] = { // what, value, description
        {"plain string", Value("hello world"), "hello world"},
        {"unsigned beyond the signed range", Value(~0ull), "18446744073709551615"}, {"whole real", Value(3.0), "3"},
        {"real needing 17 digits", Value(0.1 + 0.2), "0.30000000000000004"}, {"tiny real", Value(1e-300), "1e-300"},
        {"date", Value(date), "2026-12-06 19:17:22 +0000"},
        {"date before 1970", Value(Date{-1.0}), "1969-12-31 23:59:59 +0000"},
        {"reference date", Value(Date::fromReferenceDate(0)), "2001-01-01 00:00:00 +0000"},
        {"short data", Value(Data{1, 2, 3}), "{length = 3, bytes = 0x010203}"},
        {"empty data", Value(Data{}), "{length = 0, bytes = 0x}"}, {"null", Value(), "(null)"},
        {"empty array", Value(Array{}), "(\n)"}, {"empty dictionary", Value(Dictionary{}), "{\n}"},
        {"array of words", Value(Array{"a", 1, true}), "(\n    a,\n    1,\n    1\n)"},
        {"array quoting", Value(Array{"two words", "", "say \"hi\"", "back\\slash", "line\nbreak"}),
         "(\n    \"two words\",\n    \"\",\n    \"say \\\"hi\\\"\",\n    \"back\\\\slash\",\n    \"line\\nbreak\"\n)"},
        {"non-ASCII in a collection", Value(Array{"caf\xC3\xA9", "\xF0\x9F\x98\x80"}),
         "(\n    \"caf\\U00e9\",\n    \"\\Ud83d\\Ude00\"\n)"},
        {"dictionary sorted by key", Value(Dictionary{{"b", 2}, {"a", "x y"}}), "{\n    a = \"x y\";\n    b = 2;\n}"},
        {"nested dictionary", Value(Dictionary{{"k", Dictionary{{"n", 1}}}}),
         "{\n    k =     {\n        n = 1;\n    };\n}"},
        {"long data shows its ends", Value(hundredBytes), "{length = 100, bytes = 0x0001020304050607 ... 60616263}"},
        // Malformed UTF-8 in a collection is escaped byte by byte, not dropped.
        {"invalid byte", Value(Array{std::string("a\xFF" "b")}), "(\n    \"a\\U00ffb\"\n)"},
        {"sequence cut short", Value(Array{std::string("x\xE2\x82")}), "(\n    \"x\\U00e2\\U0082\"\n)"},
    };
    for (const auto& [what, value, text] : cases) EXPECT_EQ(value.description(), text) << what;
    // Dates no calendar can print are clamped rather than handed to the C library undefined.
    for (double s : {1e300, -1e300, std::nan(""), HUGE_VAL}) EXPECT_FALSE(Value(Date{s}).description().empty()) << s;
}

TEST(ValueConversion, BoolAndIntegerValueReadLikeThePlatform) {
    const std::tuple<Value, bool, std::int64_t> cases[] = {
        {Value("YES"), true, 0},      {Value("true"), true, 0},   {Value("  +0007"), true, 7},
        {Value("no"), false, 0},      {Value("-0"), false, 0},    {Value(""), false, 0},
        {Value("  -12abc"), true, -12}, {Value("9"), true, 9},    {Value("x1"), false, 0},
        {Value("99999999999999999999"), true, std::numeric_limits<std::int64_t>::max()},
        {Value("-99999999999999999999"), true, std::numeric_limits<std::int64_t>::min()},
        {Value(0), false, 0},         {Value(-3), true, -3},      {Value(2.9), true, 2},
        {Value(-2.9), true, -2},      {Value(0.0), false, 0},     {Value(true), true, 1},
        {Value(1e300), true, std::numeric_limits<std::int64_t>::max()},
    };
    for (const auto& [value, boolean, integer] : cases) {
        EXPECT_EQ(value.boolValue(), boolean) << value.description();
        EXPECT_EQ(value.integerValue(), integer) << value.description();
    }
}

TEST(ValueConversion, WrongKindRaisesInvalidArgument) {
    const auto invalidArgument = testing::Throws<pf::Exception>(
        testing::Property(&pf::Exception::name, pf::NSInvalidArgumentException));
    for (const Value& v : {Value(), Value(Array{}), Value(Dictionary{}), Value(Data{1}), Value(Date{})}) {
        EXPECT_THAT([&] { (void)v.integerValue(); }, invalidArgument) << v.description();
        EXPECT_THROW((void)v.string(), pf::Exception);
    }
    EXPECT_THROW((void)Value("1").integer(), pf::Exception);
    EXPECT_THROW((void)Value("x").find("k"), pf::Exception);
}

TEST(ValueEquality, NumbersCompareByValueAndObjectsByTheirEquality) {
    const auto url = [](bool directory) { return Value(*pf::URL::fileURLWithPath("/tmp/x", directory)); };
    const std::tuple<Value, Value, bool> cases[] = {
        {Value(3), Value(3.0), true}, {Value(3), Value(3.5), false}, {Value("1"), Value(1), false},
        {Value(1), Value(true), false}, // a boolean is not the integer 1
        {Value(Dictionary{{"a", Array{1, "x"}}}), Value(Dictionary{{"a", Array{1.0, "x"}}}), true},
        {url(false), url(false), true}, {url(false), url(true), false}};
    for (const auto& [a, b, equal] : cases) EXPECT_EQ(a == b, equal) << a.description() << " vs " << b.description();
    EXPECT_EQ(Value("x").url(), nullptr);
}

} // namespace
