#include "foundation_ext/RunLoopExtensions.h"

#include <algorithm>

#include "foundation_ext/ExtensionLog.h"

namespace {
// The loop waits in whole milliseconds of an int; longer waits are cut to
// this (about 11 days), which a caller that loops on the wait never notices.
constexpr double kMaxWaitSeconds = 1'000'000.0;
} // namespace

void waitForEventWithTimeout(pf::RunLoop& runLoop, double seconds) {
    // NaN and negative times mean "do not wait", as a date in the past does.
    const double wait = seconds > 0 ? std::min(seconds, kMaxWaitSeconds) : 0.0;
    VDExtGuardNamed("-[NSRunLoop(VDExtensions) waitForEventWithTimeout:]", __LINE__,
                    [&] { runLoop.runUntil(pf::Date::now().addingSeconds(wait)); });
}
