#include "foundation_ext/StringExtensions.h"

#include <cmath>

#include <gtest/gtest.h>

#include "foundation_ext/CalendarExtensions.h"
#include "foundation_ext/NumberFormatterExtensions.h"
#include "foundation_ext/TimerExtensions.h"
#include "tests/support/ScopedEnvironment.h"

namespace {

TEST(StringExtensions, ReplacesAndRemovesCharacterRuns) {
    const auto abd = pf::CharacterSet::characterSetWithCharactersInString("abd");
    const struct {
        const char* text;
        const char* replaced;
        const char* removed;
    } cases[] = {
        {"1.0b3", "1.0.3", "1.03"}, {"b1", "1", "1"},       {"1ab2", "1.2", "12"},
        {"1b", "1.", "1"},          {"abd", "", ""},        {"", "", ""},
        {"x\xffy", "x\xffy", "x\xffy"}, {"\xc3\xa9" "a\xc3\xa9", "\xc3\xa9.\xc3\xa9", "\xc3\xa9\xc3\xa9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(vd_stringByReplacingCharactersInSet(c.text, abd, "."), c.replaced);
        EXPECT_EQ(vd_stringByRemovingCharactersInSet(c.text, abd), c.removed);
    }
}

TEST(StringExtensions, ReadsNumbersTrimsAndOrders) {
    for (const auto& [text, value] : std::initializer_list<std::pair<const char*, std::uint64_t>>{
             {"42abc", 42}, {"abc", 0}, {"  7", 7}, {"18446744073709551616", UINT64_MAX}, {"-1", UINT64_MAX}})
        EXPECT_EQ(unsignedLongLongValue(text), value) << text;

    EXPECT_EQ(stringByTrimmingWhitespace(" \t\n a b\xc2\xa0\xe2\x80\xa8"), "a b");
    std::string text = "\r\n  ";
    trimWhitespace(text);
    EXPECT_EQ(text, "");

    EXPECT_LT(caseInsensitiveNumericCompare("file9", "File10"), 0);
    EXPECT_GT(caseInsensitiveNumericCompare("b", "A"), 0);
    EXPECT_NE(caseInsensitiveNumericCompare("abc", "ABC"), 0); // forced ordering
    EXPECT_EQ(caseInsensitiveNumericCompare("abc", "abc"), 0);

    EXPECT_EQ(safeFileSystemRepresentation("/tmp/\xc3\xa9"), "/tmp/\xc3\xa9");
    EXPECT_EQ(safeFileSystemRepresentation(std::string_view("a\0b", 3)), std::nullopt);
    EXPECT_EQ(safeFileSystemRepresentation("\xff"), std::nullopt);
}

TEST(ScalarExtensions, ToleranceFormatterAndMidnight) {
    for (const auto& [interval, tolerance] :
         std::initializer_list<std::pair<double, double>>{{0.0005, 0}, {5, 0.5}, {60, 1.0}, {-3, 0}})
        EXPECT_DOUBLE_EQ(defaultToleranceForTimerInterval(interval), tolerance) << interval;

    pf::NumberFormatter decimal(pf::NumberFormatter::Style::Decimal, "en_US");
    decimal.setMaximumFractionDigits(2);
    EXPECT_EQ(stringFromDouble(decimal, 1234.5678), "1,234.57");
    EXPECT_EQ(stringFromFloat(decimal, 0.125f), "0.12"); // half-even
    EXPECT_EQ(stringFromUnsignedLongLong(decimal, UINT64_MAX), "18,446,744,073,709,551,615");
    EXPECT_EQ(stringFromInt(decimal, -5), "-5");
    pf::NumberFormatter plain(pf::NumberFormatter::Style::None, "de_DE");
    EXPECT_EQ(stringFromInteger(plain, 12345), "12345");
    EXPECT_EQ(stringFromDouble(plain, 2.5), "2");

    const vt::ScopedEnvironment utc("TZ", "UTC");
    auto calendar = threadSafeCurrentCalendar();
    ASSERT_TRUE(calendar);
    const pf::Date noon{1765195200}; // 2025-12-08 12:00 UTC
    EXPECT_EQ(midnightOfDay(*calendar, noon), pf::Date{1765152000});
    const auto tomorrow = midnight(*calendar);
    ASSERT_TRUE(tomorrow);
    EXPECT_GT(*tomorrow, pf::Date::now());
    EXPECT_LE(tomorrow->secondsSince1970 - pf::Date::now().secondsSince1970, 86400);
    EXPECT_EQ(std::fmod(tomorrow->secondsSince1970, 86400), 0);
}

} // namespace
