#include "platform/system/NumberFormatter.h"

#include <unicode/unum.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cmath>

namespace pf {

namespace {

// ICU keeps at most this many fraction digits; larger settings mean "all".
constexpr std::uint64_t kIcuMaxFractionDigits = 340;

std::string toUtf8(const UChar* text, int32_t length) {
    std::string out(static_cast<std::size_t>(length) * 3 + 1, '\0');
    int32_t outLength = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, text, length, &status);
    if (U_FAILURE(status)) return {};
    out.resize(static_cast<std::size_t>(outLength));
    return out;
}

} // namespace

struct NumberFormatter::Icu {
    UNumberFormat* format = nullptr;
    ~Icu() {
        if (format) unum_close(format);
    }
};

NumberFormatter::NumberFormatter(Style style, std::string_view localeIdentifier) {
    const std::string locale(localeIdentifier);
    auto icu = std::make_unique<Icu>();
    UErrorCode status = U_ZERO_ERROR;
    icu->format = unum_open(UNUM_DECIMAL, nullptr, 0, locale.empty() ? nullptr : locale.c_str(), nullptr, &status);
    if (U_FAILURE(status)) return;
    icu_ = std::move(icu);
    unum_setAttribute(icu_->format, UNUM_GROUPING_USED, style == Style::Decimal);
    unum_setAttribute(icu_->format, UNUM_MIN_FRACTION_DIGITS, 0);
    unum_setAttribute(icu_->format, UNUM_ROUNDING_MODE, UNUM_ROUND_HALFEVEN);
    setMaximumFractionDigits(style == Style::Decimal ? 3 : 0);
}

NumberFormatter::~NumberFormatter() = default;

void NumberFormatter::setMaximumFractionDigits(std::uint64_t digits) {
    std::lock_guard lock(mutex_);
    if (icu_)
        unum_setAttribute(icu_->format, UNUM_MAX_FRACTION_DIGITS,
                          static_cast<int32_t>(std::min(digits, kIcuMaxFractionDigits)));
}

std::string NumberFormatter::stringFromInt64(std::int64_t value) const {
    std::lock_guard lock(mutex_);
    if (!icu_) return {};
    UChar buffer[128];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = unum_formatInt64(icu_->format, value, buffer, 128, nullptr, &status);
    return U_FAILURE(status) ? std::string() : toUtf8(buffer, length);
}

std::string NumberFormatter::stringFromUInt64(std::uint64_t value) const {
    if (value <= static_cast<std::uint64_t>(INT64_MAX)) return stringFromInt64(static_cast<std::int64_t>(value));
    // Above the signed range ICU takes the number as decimal text.
    const std::string digits = std::to_string(value);
    std::lock_guard lock(mutex_);
    if (!icu_) return {};
    UChar buffer[128];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = unum_formatDecimal(icu_->format, digits.c_str(), static_cast<int32_t>(digits.size()),
                                              buffer, 128, nullptr, &status);
    return U_FAILURE(status) ? std::string() : toUtf8(buffer, length);
}

std::string NumberFormatter::stringFromDouble(double value) const {
    std::lock_guard lock(mutex_);
    if (!icu_) return {};
    // Large fraction settings can make long text; ICU reports the length needed.
    std::u16string buffer(512, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = unum_formatDouble(icu_->format, value, buffer.data(), static_cast<int32_t>(buffer.size()),
                                       nullptr, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        buffer.assign(static_cast<std::size_t>(length) + 1, u'\0');
        status = U_ZERO_ERROR;
        length = unum_formatDouble(icu_->format, value, buffer.data(), static_cast<int32_t>(buffer.size()), nullptr,
                                   &status);
    }
    return U_FAILURE(status) ? std::string() : toUtf8(buffer.data(), length);
}

} // namespace pf
