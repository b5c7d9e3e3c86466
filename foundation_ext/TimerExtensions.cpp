#include "foundation_ext/TimerExtensions.h"

#include <algorithm>

double defaultToleranceForTimerInterval(double seconds) {
    if (!(seconds >= 0.001)) return 0;
    return std::min(seconds * 0.1, 1.0);
}
