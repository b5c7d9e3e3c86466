#pragma once
// The one-pass wait the Mach transport uses: run the loop once in its default
// mode, until one input source has been handled or the time has passed.
#include "platform/runloop/RunLoop.h"

void waitForEventWithTimeout(pf::RunLoop& runLoop, double seconds);
