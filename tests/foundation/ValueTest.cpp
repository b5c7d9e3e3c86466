#include <gtest/gtest.h>

#include <limits>
#include <numeric>

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
    const struct {
        const char* what;
        Value value;
        std::string text;
    } cases[] = {
        {"plain string", Value("hello world"), "hello world"},
        {"integer", Value(42), "42"},
        {"largest integer", Value(std::numeric_limits<long long>::max()), "9223372036854775807"},
        {"whole real", Value(3.0), "3"},
        {"real needing 17 digits", Value(0.1 + 0.2), "0.30000000000000004"},
        {"tiny real", Value(1e-300), "1e-300"},
        {"true", Value(true), "1"},
        {"date", Value(date), "2026-12-06 19:17:22 +0000"},
        {"date with fraction", Value(Date{date.secondsSince1970 + 0.75}), "2026-12-06 19:17:22 +0000"},
        {"date before 1970", Value(Date{-1.0}), "1969-12-31 23:59:59 +0000"},
        {"short data", Value(Data{1, 2, 3}), "{length = 3, bytes = 0x010203}"},
        {"empty data", Value(Data{}), "{length = 0, bytes = 0x}"},
        {"null", Value(), "(null)"},
        {"empty array", Value(Array{}), "(\n)"},
        {"empty dictionary", Value(Dictionary{}), "{\n}"},
        {"array of words", Value(Array{"a", 1, true}), "(\n    a,\n    1,\n    1\n)"},
        {"array quoting", Value(Array{"two words", "", "say \"hi\"", "back\\slash", "line\nbreak"}),
         "(\n    \"two words\",\n    \"\",\n    \"say \\\"hi\\\"\",\n    \"back\\\\slash\",\n    \"line\\nbreak\"\n)"},
        {"non-ASCII in a collection", Value(Array{"caf\xC3\xA9", "\xF0\x9F\x98\x80"}),
         "(\n    \"caf\\U00e9\",\n    \"\\Ud83d\\Ude00\"\n)"},
        {"date in a collection", Value(Array{date}), "(\n    \"2026-12-06 19:17:22 +0000\"\n)"},
        {"dictionary sorted by key", Value(Dictionary{{"b", 2}, {"a", "x y"}}), "{\n    a = \"x y\";\n    b = 2;\n}"},
        {"nested dictionary", Value(Dictionary{{"k", Dictionary{{"n", 1}}}}),
         "{\n    k =     {\n        n = 1;\n    };\n}"},
        {"nested array", Value(Array{Array{1}}), "(\n        (\n        1\n    )\n)"},
        {"quoted key", Value(Dictionary{{"a key", 1}}), "{\n    \"a key\" = 1;\n}"},
        {"long data shows its ends", Value(hundredBytes), "{length = 100, bytes = 0x0001020304050607 ... 60616263}"},
        // Malformed UTF-8 in a collection is escaped byte by byte, not dropped.
        {"invalid byte", Value(Array{std::string("a\xFF" "b")}), "(\n    \"a\\U00ffb\"\n)"},
        {"sequence cut short", Value(Array{std::string("x\xE2\x82")}), "(\n    \"x\\U00e2\\U0082\"\n)"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.description(), c.text) << c.what;
}

TEST(ValueConversion, BoolAndIntegerValueReadLikeThePlatform) {
    struct Case {
        Value value;
        bool boolean;
        std::int64_t integer;
    };
    const Case cases[] = {
        {Value("YES"), true, 0},      {Value("yes"), true, 0},    {Value("true"), true, 0},
        {Value("  +0007"), true, 7},  {Value("no"), false, 0},    {Value("0"), false, 0},
        {Value("000"), false, 0},     {Value(""), false, 0},      {Value("  -12abc"), true, -12},
        {Value("-0"), false, 0},      {Value("9"), true, 9},      {Value("x1"), false, 0},
        {Value("99999999999999999999"), true, std::numeric_limits<std::int64_t>::max()},
        {Value("-99999999999999999999"), true, std::numeric_limits<std::int64_t>::min()},
        {Value(0), false, 0},         {Value(-3), true, -3},      {Value(2.9), true, 2},
        {Value(-2.9), true, -2},      {Value(0.0), false, 0},     {Value(true), true, 1},
        {Value(1e300), true, std::numeric_limits<std::int64_t>::max()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.boolValue(), c.boolean) << c.value.description();
        EXPECT_EQ(c.value.integerValue(), c.integer) << c.value.description();
    }
}

TEST(ValueConversion, WrongKindRaisesInvalidArgument) {
    const Value values[] = {Value(), Value(Array{}), Value(Dictionary{}), Value(Data{1}), Value(Date{})};
    for (const Value& v : values) {
        try {
            (void)v.integerValue();
            ADD_FAILURE() << "no exception for " << v.description();
        } catch (const pf::Exception& e) {
            EXPECT_EQ(e.name(), pf::NSInvalidArgumentException);
        }
        EXPECT_THROW((void)v.string(), pf::Exception);
    }
    EXPECT_THROW((void)Value(1).string(), pf::Exception);
    EXPECT_THROW((void)Value("1").integer(), pf::Exception);
    EXPECT_THROW((void)Value("x").find("k"), pf::Exception);
}

TEST(ValueEquality, NumbersCompareByValueAndObjectsByTheirEquality) {
    EXPECT_EQ(Value(3), Value(3.0));
    EXPECT_NE(Value(3), Value(3.5));
    EXPECT_NE(Value(1), Value(true)); // a boolean is not the integer 1
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_EQ(Value(Dictionary{{"a", Array{1, "x"}}}), Value(Dictionary{{"a", Array{1.0, "x"}}}));
    const Value url(*pf::URL::fileURLWithPath("/tmp/x", false));
    EXPECT_EQ(url, Value(*pf::URL::fileURLWithPath("/tmp/x", false)));
    EXPECT_NE(url, Value(*pf::URL::fileURLWithPath("/tmp/x", true)));
    EXPECT_EQ(url.url()->path(), "/tmp/x");
    EXPECT_EQ(Value("x").url(), nullptr);
}

TEST(ValuePropertyList, NullOrObjectAnywhereInsideIsNoPropertyList) {
    EXPECT_TRUE(Value(Dictionary{{"a", Array{1, "b", Data{}, Date{}}}}).isPropertyList());
    for (const Value& v : {Value(), Value(Array{1, Value()}),
                           Value(Dictionary{{"a", Array{Value(*pf::URL::fileURLWithPath("/a", false))}}})})
        EXPECT_FALSE(v.isPropertyList()) << v.description();
}

} // namespace
