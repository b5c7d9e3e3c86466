#include "foundation_ext/TimeIntervalString.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "platform/foundation/BundleStrings.h"
#include "platform/foundation/Format.h"

namespace {

template <class... A>
std::string phrase(const char* english, const A&... args) {
    const auto bundle = pf::Bundle::mainBundle();
    const std::string text = bundle ? pf::localizedStringForKey(*bundle, english, english) : std::string(english);
    return pf::format(text, args...);
}

std::string clockForm(double interval) {
    // std::llround rounds halves away from zero; out of range it is undefined,
    // so such intervals are held at the ends of the 64-bit range first.
    constexpr double kLimit = 9.2e18;
    const long long s = std::isnan(interval) ? 0 : std::llround(std::clamp(interval, -kLimit, kLimit));
    if (s < 60) return pf::format("0:%02lld", s);
    if (s < 3600) return pf::format("%lld:%02lld", s / 60, s % 60);
    return pf::format("%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
}

std::string phraseForm(double interval) {
    const std::uint64_t t = !(interval > 0) ? 0
                            : interval >= 18446744073709551615.0 ? UINT64_MAX
                                                                  : static_cast<std::uint64_t>(interval);
    const std::uint64_t days = t / 86400, r = t % 86400, hours = r / 3600, r2 = r % 3600;
    const std::uint64_t minutes = r2 / 60, seconds = r2 % 60;
    if (days > 0) {
        const std::uint64_t h = hours + (r2 >= 1800 ? 1 : 0);
        if (days == 1) return h < 2 ? phrase("1 day") : phrase("1 day, %u hours", h);
        return h < 2 ? phrase("%u days", days) : phrase("%u days, %u hours", days, h);
    }
    if (t >= 3600) {
        const std::uint64_t m = minutes + (seconds >= 30 ? 1 : 0);
        if (t < 7200) return m < 2 ? phrase("1 hour") : phrase("1 hour, %u minutes", m);
        return m < 2 ? phrase("%u hours", hours) : phrase("%u hours, %u minutes", hours, m);
    }
    if (t < 30) return phrase("A few seconds");
    if (t < 90) return phrase("About a minute");
    if (t < 120) return phrase("About 2 minutes");
    if (t < 900 && seconds >= 30) return phrase("About %u minutes", minutes + 1);
    return phrase("%u minutes", minutes);
}

} // namespace

std::string stringWithTimeInterval(double seconds, int format) {
    switch (format) {
    case 0: return clockForm(seconds);
    case 1: return phraseForm(seconds);
    default: return "";
    }
}
