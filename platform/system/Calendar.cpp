#include "platform/system/Calendar.h"

#include <unicode/ucal.h>

#include <cmath>

namespace pf {

struct Calendar::Icu {
    UCalendar* calendar = nullptr;
    ~Icu() {
        if (calendar) ucal_close(calendar);
    }
};

namespace {

constexpr double kMillisPerSecond = 1000.0;

bool setDate(UCalendar* calendar, Date date) {
    if (!std::isfinite(date.secondsSince1970)) return false;
    UErrorCode status = U_ZERO_ERROR;
    ucal_setMillis(calendar, date.secondsSince1970 * kMillisPerSecond, &status);
    return U_SUCCESS(status);
}

std::optional<Date> currentDate(UCalendar* calendar) {
    UErrorCode status = U_ZERO_ERROR;
    const UDate millis = ucal_getMillis(calendar, &status);
    if (U_FAILURE(status)) return std::nullopt;
    return Date{millis / kMillisPerSecond};
}

} // namespace

Calendar::Calendar(std::unique_ptr<Icu> icu) : icu_(std::move(icu)) {}
Calendar::~Calendar() = default;

std::shared_ptr<Calendar> Calendar::currentCalendar() {
    auto icu = std::make_unique<Icu>();
    UErrorCode status = U_ZERO_ERROR;
    icu->calendar = ucal_open(nullptr, 0, nullptr, UCAL_DEFAULT, &status);
    if (U_FAILURE(status)) return nullptr;
    // A wall time that a daylight-saving change skips maps to the first time after it.
    ucal_setAttribute(icu->calendar, UCAL_SKIPPED_WALL_TIME, UCAL_WALLTIME_NEXT_VALID);
    return std::shared_ptr<Calendar>(new Calendar(std::move(icu)));
}

std::optional<Date> Calendar::dateByAddingDays(Date date, int days) const {
    std::lock_guard lock(mutex_);
    if (!setDate(icu_->calendar, date)) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    ucal_add(icu_->calendar, UCAL_DATE, days, &status);
    if (U_FAILURE(status)) return std::nullopt;
    return currentDate(icu_->calendar);
}

std::optional<Date> Calendar::startOfDayForDate(Date date) const {
    std::lock_guard lock(mutex_);
    if (!setDate(icu_->calendar, date)) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const int32_t era = ucal_get(icu_->calendar, UCAL_ERA, &status);
    const int32_t year = ucal_get(icu_->calendar, UCAL_YEAR, &status);
    const int32_t month = ucal_get(icu_->calendar, UCAL_MONTH, &status);
    const int32_t day = ucal_get(icu_->calendar, UCAL_DATE, &status);
    if (U_FAILURE(status)) return std::nullopt;
    // Cleared first, so no other field (AM/PM, week) takes part in the result.
    ucal_clear(icu_->calendar);
    ucal_set(icu_->calendar, UCAL_ERA, era);
    ucal_setDate(icu_->calendar, year, month, day, &status);
    if (U_FAILURE(status)) return std::nullopt;
    return currentDate(icu_->calendar);
}

} // namespace pf
