#include "foundation_ext/CalendarExtensions.h"

std::optional<pf::Date> midnight(const pf::Calendar& calendar) {
    const auto tomorrow = calendar.dateByAddingDays(pf::Date::now(), 1);
    return tomorrow ? calendar.startOfDayForDate(*tomorrow) : std::nullopt;
}

std::optional<pf::Date> midnightOfDay(const pf::Calendar& calendar, pf::Date date) {
    return calendar.startOfDayForDate(date);
}

std::shared_ptr<pf::Calendar> threadSafeCurrentCalendar() { return pf::Calendar::currentCalendar(); }
