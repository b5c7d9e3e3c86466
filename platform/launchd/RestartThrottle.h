#pragma once
// Keeps a job that fails in a tight loop from eating the machine. A run is
// a quick failure when it ends with a non-zero status or a signal less than
// kQuickRun after it started. After kQuickFailures of them in a row the job
// starts at most once per kThrottleInterval; any other ending (a clean exit,
// or a failure after a long run) lifts the throttle.
#include <chrono>
#include <optional>

namespace pf::launchd {

class RestartThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kQuickRun = std::chrono::seconds(10);
    static constexpr int kQuickFailures = 5;
    static constexpr auto kThrottleInterval = std::chrono::seconds(1);

    void started(Clock::time_point at) { lastStart_ = at; }
    // Returns true when this ending is the one that throttles the job.
    bool ended(Clock::time_point at, bool failed);
    // The earliest moment the job may start again; nullopt: at once.
    std::optional<Clock::time_point> nextStart() const;
    int quickFailures() const { return quickFailures_; }

private:
    Clock::time_point lastStart_{};
    int quickFailures_ = 0;
};

} // namespace pf::launchd
