#pragma once
// Midnights. threadSafeCurrentCalendar hands each caller a calendar of its
// own (the current locale's and time zone's), which is always safe to use on
// the calling thread; the copies made on the main thread for old platform
// generations have no counterpart here.
#include <memory>
#include <optional>

#include "platform/foundation/Date.h"
#include "platform/system/Calendar.h"

// The start of tomorrow.
std::optional<pf::Date> midnight(const pf::Calendar& calendar);
// The start of the date's day.
std::optional<pf::Date> midnightOfDay(const pf::Calendar& calendar, pf::Date date);
std::shared_ptr<pf::Calendar> threadSafeCurrentCalendar();
