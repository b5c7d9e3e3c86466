#pragma once
// The platform's number formatter over ICU: a style (none: plain digits, no
// grouping, no fraction; decimal: grouping and up to three fraction digits,
// both as the locale writes them), a maximum number of fraction digits, and
// a locale (the process's current one unless set). Rounding is half-even,
// as the platform's is. Safe to share between threads.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace pf {

class NumberFormatter {
public:
    enum class Style { None = 0, Decimal = 1 };

    // An empty locale identifier is the current locale.
    explicit NumberFormatter(Style style = Style::None, std::string_view localeIdentifier = {});
    ~NumberFormatter();
    NumberFormatter(const NumberFormatter&) = delete;
    NumberFormatter& operator=(const NumberFormatter&) = delete;

    void setMaximumFractionDigits(std::uint64_t digits);

    // Empty when ICU cannot format (it never fails for a valid locale).
    std::string stringFromInt64(std::int64_t value) const;
    std::string stringFromUInt64(std::uint64_t value) const;
    std::string stringFromDouble(double value) const;

private:
    struct Icu;
    mutable std::mutex mutex_;
    std::unique_ptr<Icu> icu_;
};

} // namespace pf
