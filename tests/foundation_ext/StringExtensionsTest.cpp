#include "foundation_ext/StringExtensions.h"

#include <gtest/gtest.h>

#include "foundation_ext/CalendarExtensions.h"
#include "foundation_ext/NumberFormatterExtensions.h"
#include "foundation_ext/TimeIntervalString.h"
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
        {"b1", "1", "1"}, {"1ab2", "1.2", "12"}, {"1b", "1.", "1"}, {"abd", "", ""},
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
    EXPECT_EQ(stringFromUnsignedLongLong(decimal, UINT64_MAX), "18,446,744,073,709,551,615");
    EXPECT_EQ(stringFromInt(decimal, -5), "-5");

    const vt::ScopedEnvironment utc("TZ", "UTC");
    auto calendar = threadSafeCurrentCalendar();
    ASSERT_TRUE(calendar);
    const pf::Date noon{1765195200}; // 2025-12-08 12:00 UTC
    EXPECT_EQ(midnightOfDay(*calendar, noon), pf::Date{1765152000});
}

TEST(TimeIntervalString, ClockAndPhraseForms) {
    const double day = 86400, hour = 3600, minute = 60;
    const struct {
        double seconds;
        int format;
        const char* text;
    } cases[] = {
        {59.4, 0, "0:59"},
        {59.6, 0, "1:00"},
        {3599.6, 0, "1:00:00"},
        {0.5, 0, "0:01"}, // halves away from zero
        {29, 1, "A few seconds"},
        {30, 1, "About a minute"},
        {95, 1, "About 2 minutes"},
        {150, 1, "About 3 minutes"},
        {140, 1, "2 minutes"},
        {3600, 1, "1 hour"},
        {3690, 1, "1 hour, 2 minutes"},
        {2 * hour + 29, 1, "2 hours"},
        {2 * hour + 5 * minute, 1, "2 hours, 5 minutes"},
        {day, 1, "1 day"},
        {3 * day + 5 * hour, 1, "3 days, 5 hours"},
        {day + 23 * hour + 40 * minute, 1, "1 day, 24 hours"},
        {-5, 1, "A few seconds"},
        {100, 2, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stringWithTimeInterval(c.seconds, c.format), c.text) << c.seconds << " format " << c.format;
}

} // namespace
