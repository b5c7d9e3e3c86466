#include "platform/runloop/RunLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/ThreadState.h"
#include "platform/dispatch/TimerThread.h"

namespace pf {
namespace {

using Clock = RunLoop::Clock;

class EpollRunLoop;

// Sources hold their loop weakly: a loop ends with its thread, and a source
// kept elsewhere must then be harmless rather than reach into freed memory.
class FdSource final : public RunLoop::Source {
public:
    FdSource(std::weak_ptr<EpollRunLoop> loop, std::uint64_t id, int fd, std::function<void()> callback)
        : loop_(std::move(loop)), id_(id), fd_(fd), callback_(std::move(callback)) {}
    void setEnabled(bool enabled) override;
    bool isEnabled() const override { return enabled_ && valid_; }
    void invalidate() override;
    void fire() {
        if (isEnabled()) {
            auto keep = callback_; // the callback may invalidate its own source
            keep();
        }
    }
    std::uint64_t id() const { return id_; }
    int fd() const { return fd_; }
    // Changed under the loop's lock, read without it.
    std::atomic<bool> valid_{true};
    std::atomic<bool> enabled_{true};

private:
    std::weak_ptr<EpollRunLoop> loop_;
    std::uint64_t id_;
    int fd_;
    std::function<void()> callback_;
};

class TimerEntry final : public RunLoop::Source {
public:
    TimerEntry(std::weak_ptr<EpollRunLoop> loop, Clock::time_point next, Clock::duration interval,
               std::function<void()> callback)
        : next_(next), interval_(interval), loop_(std::move(loop)), callback_(std::move(callback)) {}
    void setEnabled(bool enabled) override;
    bool isEnabled() const override { return enabled_ && valid_; }
    void invalidate() override { valid_ = false; }
    const std::function<void()>& callback() const { return callback_; }
    Clock::time_point next_; // guarded by the loop's lock
    const Clock::duration interval_;
    std::atomic<bool> enabled_{true};
    std::atomic<bool> valid_{true};

private:
    std::weak_ptr<EpollRunLoop> loop_;
    std::function<void()> callback_;
};

constexpr std::uint64_t kWakeId = 0;

class EpollRunLoop final : public RunLoop, public std::enable_shared_from_this<EpollRunLoop> {
public:
    explicit EpollRunLoop(pid_t ownerThread)
        : owner_(ownerThread), epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWakeId;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
    }
    ~EpollRunLoop() override {
        ::close(epoll_);
        ::close(wake_);
    }

    Result runUntilDeadline(Clock::time_point deadline) override {
        if (runDueTimers()) return Result::HandledInput;
        for (;;) {
            const Clock::time_point now = Clock::now();
            Clock::time_point wakeAt = deadline;
            if (const auto next = nextTimer(); next && *next < wakeAt) wakeAt = *next;
            // Ceiling to whole milliseconds, so the wait never ends just short
            // of a deadline; longer waits than epoll takes are made in parts.
            const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count();
            const int timeoutMs = static_cast<int>(std::clamp<long long>(waitMs, 0, INT_MAX));

            epoll_event events[32];
            const int n = ::epoll_wait(epoll_, events, 32, timeoutMs); // EINTR: a signal is no input
            bool handled = false;
            std::vector<std::shared_ptr<FdSource>> ready;
            {
                std::lock_guard lock(mutex_);
                for (int i = 0; i < n; ++i) {
                    if (events[i].data.u64 == kWakeId) {
                        std::uint64_t count;
                        [[maybe_unused]] ssize_t r = ::read(wake_, &count, sizeof count);
                        handled = true;
                    } else if (auto it = sources_.find(events[i].data.u64); it != sources_.end()) {
                        ready.push_back(it->second);
                    }
                }
            }
            for (auto& source : ready) {
                handled = true;
                source->fire();
            }
            handled = runDueTimers() || handled;
            if (handled) return Result::HandledInput;
            if (Clock::now() >= deadline) return Result::TimedOut;
        }
    }

    std::shared_ptr<Source> addReadSource(int fd, std::function<void()> onReadable) override {
        std::lock_guard lock(mutex_);
        auto source = std::make_shared<FdSource>(weak_from_this(), ++lastSourceId_, fd, std::move(onReadable));
        sources_[source->id()] = source;
        watchLocked(*source, true); // a wait in progress sees it at once
        return source;
    }

    std::shared_ptr<Source> addTimer(double firstAfter, double interval, std::function<void()> onFire) override {
        const Clock::duration period = dispatch::detail::clampedDelay(interval);
        auto timer = std::make_shared<TimerEntry>(weak_from_this(), deadlineIn(firstAfter), period, std::move(onFire));
        {
            std::lock_guard lock(mutex_);
            timers_.push_back(timer);
        }
        wakeOtherThread();
        return timer;
    }

    void wakeUp() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(wake_, &one, sizeof one);
    }

    // A wait in progress on the loop's thread has to take a new deadline into
    // account; on that thread itself the next wait does.
    void wakeOtherThread() {
        if (dispatch::detail::currentThreadId() != owner_) wakeUp();
    }

    void setEnabled(FdSource& source, bool enabled) {
        std::lock_guard lock(mutex_);
        if (!source.valid_ || enabled == source.enabled_) return;
        source.enabled_ = enabled;
        watchLocked(source, enabled);
    }

    void invalidate(FdSource& source) {
        std::shared_ptr<FdSource> entry; // released after the lock
        std::lock_guard lock(mutex_);
        if (!source.valid_) return;
        source.valid_ = false;
        if (source.enabled_) watchLocked(source, false);
        source.enabled_ = false;
        if (auto it = sources_.find(source.id()); it != sources_.end()) {
            entry = std::move(it->second);
            sources_.erase(it);
        }
    }

private:
    void watchLocked(const FdSource& source, bool on) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = source.id();
        if (on)
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, source.fd(), &ev);
        else
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, source.fd(), nullptr);
    }

    std::optional<Clock::time_point> nextTimer() {
        std::lock_guard lock(mutex_);
        std::optional<Clock::time_point> next;
        for (auto& t : timers_)
            if (t->isEnabled() && (!next || t->next_ < *next)) next = t->next_;
        return next;
    }

    bool runDueTimers() {
        std::vector<std::shared_ptr<TimerEntry>> due;
        {
            std::lock_guard lock(mutex_);
            std::erase_if(timers_, [](const auto& t) { return !t->valid_; });
            const Clock::time_point now = Clock::now();
            for (auto& t : timers_) {
                if (!t->isEnabled() || t->next_ > now) continue;
                due.push_back(t);
                if (t->interval_.count() > 0)
                    t->next_ = dispatch::detail::nextTimerDeadline(t->next_, t->interval_, now);
                else
                    t->valid_ = false;
            }
        }
        for (auto& t : due) t->callback()();
        return !due.empty();
    }

    const pid_t owner_;
    int epoll_;
    int wake_;
    std::mutex mutex_;
    std::uint64_t lastSourceId_ = kWakeId;
    std::map<std::uint64_t, std::shared_ptr<FdSource>> sources_;
    std::vector<std::shared_ptr<TimerEntry>> timers_;
};

void FdSource::setEnabled(bool enabled) {
    if (auto loop = loop_.lock())
        loop->setEnabled(*this, enabled);
    else if (valid_)
        enabled_ = enabled;
}

void FdSource::invalidate() {
    if (auto loop = loop_.lock()) {
        loop->invalidate(*this);
    } else {
        valid_ = false;
        enabled_ = false;
    }
}

void TimerEntry::setEnabled(bool enabled) {
    enabled_ = enabled;
    if (auto loop = loop_.lock(); loop && enabled) loop->wakeOtherThread();
}

std::shared_ptr<EpollRunLoop> makeLoop(pid_t ownerThread, bool servesMainQueue) {
    auto loop = std::make_shared<EpollRunLoop>(ownerThread);
    if (servesMainQueue)
        loop->addReadSource(dispatch::detail::mainQueueWakeFd(), [] { dispatch::detail::drainMainQueue(); });
    return loop;
}

} // namespace

RunLoop& RunLoop::current() {
    if (dispatch::isMainThread()) return main();
    thread_local std::shared_ptr<EpollRunLoop> loop;
    if (!loop) loop = makeLoop(dispatch::detail::currentThreadId(), false);
    return *loop;
}

RunLoop& RunLoop::main() {
    // The main thread's id is the process id; the loop lives for the process.
    static auto* loop = new std::shared_ptr<EpollRunLoop>(makeLoop(::getpid(), true));
    return **loop;
}

RunLoop::Clock::time_point RunLoop::deadlineIn(double seconds) {
    return dispatch::detail::deadlineIn(seconds);
}

RunLoop::Result RunLoop::runUntil(Date limit) {
    return runUntilDeadline(deadlineIn(limit.secondsSince1970 - Date::now().secondsSince1970));
}

void RunLoop::runFor(double seconds) {
    const Clock::time_point deadline = deadlineIn(seconds);
    while (Clock::now() < deadline) runUntilDeadline(deadline);
}

} // namespace pf
