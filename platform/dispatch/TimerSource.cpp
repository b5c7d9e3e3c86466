#include "platform/dispatch/TimerSource.h"

#include <atomic>
#include <mutex>

#include "platform/dispatch/TimerThread.h"

namespace pf::dispatch {
namespace {

// Each firing is armed on the timer thread and runs the handler on the
// queue; the next firing is armed from the previous deadline, so the period
// does not drift with handler run time. A firing that finds the previous
// handler still running is dropped, as dispatch coalesces timer events.
class Timer final : public TimerSource, public std::enable_shared_from_this<Timer> {
public:
    explicit Timer(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {}

    void setTimer(std::uint64_t startNs, std::uint64_t intervalNs, std::uint64_t) override {
        std::lock_guard lock(mutex_);
        startNs_ = startNs;
        intervalNs_ = intervalNs;
        if (resumed_ && !cancelled_) armLocked(static_cast<double>(startNs_) / 1e9);
    }
    void setEventHandler(Task handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    void resume() override {
        std::lock_guard lock(mutex_);
        if (resumed_ || cancelled_) return;
        resumed_ = true;
        armLocked(static_cast<double>(startNs_) / 1e9);
    }
    void cancel() override {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        if (armedId_) detail::cancelTimer(armedId_);
        armedId_ = 0;
        handler_ = nullptr;
    }
    bool isCancelled() const override {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

private:
    void armLocked(double seconds) {
        if (armedId_) detail::cancelTimer(armedId_);
        const std::uint64_t generation = ++generation_;
        armedId_ = detail::scheduleAfter(seconds, [weak = weak_from_this(), generation] {
            if (auto self = weak.lock()) self->fire(generation);
        });
    }

    void fire(std::uint64_t generation) {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_ || generation != generation_) return;
            armedId_ = 0;
            if (intervalNs_ > 0) armLocked(static_cast<double>(intervalNs_) / 1e9);
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
    std::uint64_t startNs_ = 0;
    std::uint64_t intervalNs_ = 0;
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
