#include "foundation_ext/RunLoopExtensions.h"

#include "foundation_ext/ExtensionLog.h"

void waitForEventWithTimeout(pf::RunLoop& runLoop, double seconds) {
    // NaN and negative times mean "do not wait", as a date in the past does;
    // the deadline is monotonic and clamped by the loop, so a step of the wall
    // clock neither stretches nor cuts the wait.
    const double wait = seconds > 0 ? seconds : 0.0;
    VDExtGuardNamed("-[NSRunLoop(VDExtensions) waitForEventWithTimeout:]", __LINE__,
                    [&] { runLoop.runUntilDeadline(pf::RunLoop::deadlineIn(wait)); });
}
