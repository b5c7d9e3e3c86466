#pragma once
// A point in time as the platform keeps it: seconds since 1 January 1970 UTC
// (the property-list format counts from 2001; the codecs convert).
#include <string>

namespace pf {

struct Date {
    double secondsSince1970 = 0;

    static Date now();
    static Date fromReferenceDate(double secondsSince2001);
    double timeIntervalSinceReferenceDate() const; // seconds since 2001-01-01
    double timeIntervalSinceNow() const;
    Date addingSeconds(double s) const { return Date{secondsSince1970 + s}; }
    // "2026-12-06 19:17:22 +0000", as the platform prints a date for "%@".
    std::string description() const;
    // Finite and within about 2^31 years of 1970, what a calendar can print.
    // Property lists refuse other dates.
    bool isWithinCalendar() const;

    bool operator==(const Date&) const = default;
    auto operator<=>(const Date&) const = default;
};

// Seconds between 1970-01-01 and 2001-01-01.
inline constexpr double kReferenceDateOffset = 978307200.0;

} // namespace pf
