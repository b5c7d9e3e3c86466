#include "platform/launchd/RestartThrottle.h"

namespace pf::launchd {

bool RestartThrottle::ended(Clock::time_point at, bool failed) {
    if (failed && at - lastStart_ < kQuickRun) {
        ++quickFailures_;
        return quickFailures_ == kQuickFailures;
    }
    quickFailures_ = 0;
    return false;
}

std::optional<RestartThrottle::Clock::time_point> RestartThrottle::nextStart() const {
    if (quickFailures_ < kQuickFailures) return std::nullopt;
    return lastStart_ + kThrottleInterval;
}

} // namespace pf::launchd
