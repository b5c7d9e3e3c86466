#pragma once
// The tolerance given to a timer of the interval: 10 % of it, at most one
// second; none below a millisecond.
double defaultToleranceForTimerInterval(double seconds);
