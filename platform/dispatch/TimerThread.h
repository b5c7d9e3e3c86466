#pragma once
// One process-wide thread that keeps a deadline heap (monotonic clock) and
// runs each due callback on itself; callbacks only hand work to a queue.
#include <chrono>
#include <cstdint>
#include <functional>

namespace pf::dispatch::detail {

using TimerClock = std::chrono::steady_clock;

// Both return an id that cancelTimer accepts. Delays are clamped to
// [0, about 30 years]; a deadline in the past runs at once.
std::uint64_t scheduleAt(TimerClock::time_point deadline, std::function<void()> callback);
std::uint64_t scheduleAfter(double seconds, std::function<void()> callback);
void cancelTimer(std::uint64_t id);

// The delay in seconds as a duration, clamped as above.
TimerClock::duration clampedDelay(double seconds);
// Now (on the timer clock) advanced by the given delay, clamped as above.
TimerClock::time_point deadlineIn(double seconds);

// A repeating timer's next deadline: the first one after `now` on the grid
// previous + k * interval (k >= 1, interval > 0). Taking it from the grid,
// never from the firing moment, keeps the period exact whatever the wake-up
// delay; deadlines missed altogether fold into one firing.
TimerClock::time_point nextTimerDeadline(TimerClock::time_point previous, TimerClock::duration interval,
                                         TimerClock::time_point now);

} // namespace pf::dispatch::detail
