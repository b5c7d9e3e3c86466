#include "platform/dispatch/TimerSource.h"

#include <atomic>
#include <mutex>

#include "platform/dispatch/TimerThread.h"

namespace pf::dispatch {
namespace {

using detail::TimerClock;

// Each firing is armed on the timer thread and runs the handler on the
// queue; the next deadline comes from the previous one, so the period does
// not drift with wake-up delays or handler run time. A firing that finds the
// previous handler still running is dropped, as dispatch coalesces timer
// events. While armed, the timer thread's entry holds the source, so a
// resumed source lives until it is cancelled, whoever else lets it go.
class Timer final : public TimerSource, public std::enable_shared_from_this<Timer> {
public:
    explicit Timer(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {}

    void setTimer(std::uint64_t startNs, std::uint64_t intervalNs, std::uint64_t) override {
        std::lock_guard lock(mutex_);
        startSeconds_ = static_cast<double>(startNs) / 1e9;
        // The clamp keeps an interval of "forever" from overflowing the clock.
        interval_ = detail::clampedDelay(static_cast<double>(intervalNs) / 1e9);
        if (resumed_ && !cancelled_) armFirstLocked();
    }
    void setEventHandler(Task handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    void resume() override {
        std::lock_guard lock(mutex_);
        if (resumed_ || cancelled_) return;
        resumed_ = true;
        armFirstLocked();
    }
    void cancel() override {
        std::uint64_t armed;
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            armed = armedId_;
            armedId_ = 0;
            handler_ = nullptr;
        }
        // Outside the lock: dropping the armed entry may release this source.
        auto keep = shared_from_this();
        if (armed) detail::cancelTimer(armed);
    }
    bool isCancelled() const override {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

private:
    void armFirstLocked() { armLocked(detail::deadlineIn(startSeconds_)); }

    void armLocked(TimerClock::time_point deadline) {
        if (armedId_) detail::cancelTimer(armedId_);
        deadline_ = deadline;
        const std::uint64_t generation = ++generation_;
        armedId_ = detail::scheduleAt(deadline, [self = shared_from_this(), generation] { self->fire(generation); });
    }

    void fire(std::uint64_t generation) {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_ || generation != generation_) return;
            armedId_ = 0;
            if (interval_.count() > 0) armLocked(detail::nextTimerDeadline(deadline_, interval_, TimerClock::now()));
            if (running_.exchange(true)) return;
        }
        queue_->async([self = shared_from_this()] {
            Task handler;
            {
                std::lock_guard lock(self->mutex_);
                if (!self->cancelled_) handler = self->handler_;
            }
            if (handler) {
                try {
                    handler();
                } catch (...) {
                    self->running_ = false;
                    throw;
                }
            }
            self->running_ = false;
        });
    }

    std::shared_ptr<Queue> queue_;
    mutable std::mutex mutex_;
    Task handler_;
    double startSeconds_ = 0;
    TimerClock::duration interval_{0};
    TimerClock::time_point deadline_;
    std::uint64_t armedId_ = 0;
    std::uint64_t generation_ = 0;
    bool resumed_ = false;
    bool cancelled_ = false;
    std::atomic<bool> running_{false};
};

} // namespace

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<Queue> queue) {
    return std::make_shared<Timer>(std::move(queue));
}

} // namespace pf::dispatch
