#include "foundation_ext/TimeIntervalString.h"

#include <gtest/gtest.h>

namespace {

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
        {3725, 0, "1:02:05"},
        {0.5, 0, "0:01"},
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
        {2 * day + 1799, 1, "2 days"},
        {3 * day + 5 * hour, 1, "3 days, 5 hours"},
        {day + 23 * hour + 40 * minute, 1, "1 day, 24 hours"},
        {-5, 1, "A few seconds"},
        {100, 2, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stringWithTimeInterval(c.seconds, c.format), c.text) << c.seconds << " format " << c.format;
}

} // namespace
