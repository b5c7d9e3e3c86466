#pragma once
// The platform's calendar over ICU: the current locale's calendar in the
// process's time zone (TZ, else the system's). One object may be shared by
// threads; each call takes its lock.
#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/Date.h"

namespace pf {

class Calendar {
public:
    // A new calendar of the current locale and time zone; nullptr only when
    // ICU cannot make one.
    static std::shared_ptr<Calendar> currentCalendar();
    ~Calendar();
    Calendar(const Calendar&) = delete;
    Calendar& operator=(const Calendar&) = delete;

    // The date moved by whole calendar days (wall-clock time kept across a
    // daylight-saving change); nullopt outside the calendar's range.
    std::optional<Date> dateByAddingDays(Date date, int days) const;
    // The first moment of the date's day (00:00, or the first existing time
    // when a time-zone change skips midnight).
    std::optional<Date> startOfDayForDate(Date date) const;

private:
    struct Icu;
    explicit Calendar(std::unique_ptr<Icu> icu);
    mutable std::mutex mutex_;
    std::unique_ptr<Icu> icu_;
};

} // namespace pf
