#include "platform/dispatch/TimerThread.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace pf::dispatch::detail {
namespace {

using Clock = TimerClock;

class TimerThread {
public:
    TimerThread() { std::thread([this] { run(); }).detach(); }

    std::uint64_t schedule(Clock::time_point deadline, std::function<void()> callback) {
        std::lock_guard lock(mutex_);
        const std::uint64_t id = ++nextId_;
        due_.emplace(std::make_pair(deadline, id), std::move(callback));
        cv_.notify_one();
        return id;
    }

    void cancel(std::uint64_t id) {
        std::lock_guard lock(mutex_);
        for (auto it = due_.begin(); it != due_.end(); ++it) {
            if (it->first.second == id) {
                due_.erase(it);
                return;
            }
        }
    }

private:
    void run() {
        pthread_setname_np(pthread_self(), "pf.timers");
        std::unique_lock lock(mutex_);
        for (;;) {
            if (due_.empty()) {
                cv_.wait(lock);
                continue;
            }
            auto first = due_.begin();
            // A copy: the entry may be cancelled (erased) while this thread waits.
            const Clock::time_point deadline = first->first.first;
            if (deadline > Clock::now()) {
                cv_.wait_until(lock, deadline);
                continue;
            }
            auto callback = std::move(first->second);
            due_.erase(first);
            lock.unlock();
            callback();
            callback = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::pair<Clock::time_point, std::uint64_t>, std::function<void()>> due_;
    std::uint64_t nextId_ = 0;
};

TimerThread& timers() {
    static auto* instance = new TimerThread;
    return *instance;
}

} // namespace

TimerClock::duration clampedDelay(double seconds) {
    // Far enough for any real wait, near enough that adding it to the clock
    // cannot overflow; NaN and negative delays mean none.
    constexpr double kLongestSeconds = 1e9;
    if (!(seconds > 0)) return TimerClock::duration::zero();
    const std::chrono::duration<double> delay(std::min(seconds, kLongestSeconds));
    return std::chrono::duration_cast<TimerClock::duration>(delay);
}

TimerClock::time_point deadlineIn(double seconds) { return TimerClock::now() + clampedDelay(seconds); }

TimerClock::time_point nextTimerDeadline(TimerClock::time_point previous, TimerClock::duration interval,
                                         TimerClock::time_point now) {
    const TimerClock::time_point next = previous + interval;
    if (next > now) return next;
    return previous + ((now - previous) / interval + 1) * interval;
}

std::uint64_t scheduleAt(TimerClock::time_point deadline, std::function<void()> callback) {
    return timers().schedule(deadline, std::move(callback));
}

std::uint64_t scheduleAfter(double seconds, std::function<void()> callback) {
    return scheduleAt(deadlineIn(seconds), std::move(callback));
}

void cancelTimer(std::uint64_t id) { timers().cancel(id); }

} // namespace pf::dispatch::detail
