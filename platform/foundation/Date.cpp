#include "platform/foundation/Date.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace pf {

Date Date::now() {
    using namespace std::chrono;
    return Date{duration<double>(system_clock::now().time_since_epoch()).count()};
}

Date Date::fromReferenceDate(double secondsSince2001) { return Date{secondsSince2001 + kReferenceDateOffset}; }

double Date::timeIntervalSinceReferenceDate() const { return secondsSince1970 - kReferenceDateOffset; }

namespace {
constexpr double kCalendarLimit = 67767976233316800.0; // seconds in about 2^31 years
}

bool Date::isWithinCalendar() const {
    return std::isfinite(secondsSince1970) && std::fabs(secondsSince1970) <= kCalendarLimit;
}

double Date::timeIntervalSinceNow() const { return secondsSince1970 - now().secondsSince1970; }

std::string Date::description() const {
    // Dates far outside what a calendar can print are clamped rather than
    // handed to gmtime as undefined conversions.
    double s = std::isfinite(secondsSince1970) ? std::floor(secondsSince1970) : 0;
    if (s > kCalendarLimit) s = kCalendarLimit;
    if (s < -kCalendarLimit) s = -kCalendarLimit;
    std::time_t t = static_cast<std::time_t>(s);
    std::tm tm{};
    char text[64];
    if (!gmtime_r(&t, &tm) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &tm) == 0) {
        return "(invalid date)";
    }
    return text;
}

} // namespace pf
