#include "platform/runloop/RunLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace pf {
namespace {

class EpollRunLoop;

class FdSource final : public RunLoop::Source, public std::enable_shared_from_this<FdSource> {
public:
    FdSource(EpollRunLoop* loop, int fd, std::function<void()> callback)
        : loop_(loop), fd_(fd), callback_(std::move(callback)) {}
    void setEnabled(bool enabled) override;
    bool isEnabled() const override { return enabled_ && valid_; }
    void invalidate() override;
    void fire() {
        if (valid_ && enabled_) {
            auto keep = callback_; // the callback may invalidate its own source
            keep();
        }
    }
    int fd() const { return fd_; }
    bool valid_ = true;
    bool enabled_ = true;

private:
    EpollRunLoop* loop_;
    int fd_;
    std::function<void()> callback_;
};

class TimerEntry final : public RunLoop::Source {
public:
    TimerEntry(double interval, std::function<void()> callback) : interval_(interval), callback_(std::move(callback)) {}
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_ && valid_; }
    void invalidate() override { valid_ = false; }
    double interval_;
    double next_ = 0;
    std::function<void()> callback_;
    bool enabled_ = true;
    bool valid_ = true;
};

class EpollRunLoop final : public RunLoop {
public:
    EpollRunLoop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr; // the wake-up descriptor
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
    }
    ~EpollRunLoop() override {
        ::close(epoll_);
        ::close(wake_);
    }

    Result runUntil(Date limit) override {
        bool handled = false;
        const double now = Date::now().secondsSince1970;
        handled = runDueTimers(now) || handled;
        if (handled) return Result::HandledInput;

        double wait = limit.secondsSince1970 - now;
        if (const double next = nextTimer(); next > 0) wait = std::min(wait, next - now);
        const int timeoutMs = wait <= 0 ? 0 : static_cast<int>(std::ceil(wait * 1000.0));

        epoll_event events[32];
        int n = ::epoll_wait(epoll_, events, 32, timeoutMs);
        if (n < 0) n = 0; // EINTR: a signal is no input
        std::vector<std::shared_ptr<FdSource>> ready;
        for (int i = 0; i < n; ++i) {
            auto* source = static_cast<FdSource*>(events[i].data.ptr);
            if (!source) {
                std::uint64_t count;
                [[maybe_unused]] ssize_t r = ::read(wake_, &count, sizeof count);
                handled = true;
                continue;
            }
            auto it = sources_.find(source);
            if (it != sources_.end()) ready.push_back(it->second);
        }
        for (auto& source : ready) {
            handled = true;
            source->fire();
        }
        handled = runDueTimers(Date::now().secondsSince1970) || handled;
        return handled ? Result::HandledInput : Result::TimedOut;
    }

    std::shared_ptr<Source> addReadSource(int fd, std::function<void()> onReadable) override {
        auto source = std::make_shared<FdSource>(this, fd, std::move(onReadable));
        sources_[source.get()] = source;
        watch(source.get(), true);
        return source;
    }

    std::shared_ptr<Source> addTimer(double firstAfter, double interval, std::function<void()> onFire) override {
        auto timer = std::make_shared<TimerEntry>(interval, std::move(onFire));
        timer->next_ = Date::now().secondsSince1970 + std::max(0.0, firstAfter);
        timers_.push_back(timer);
        return timer;
    }

    void wakeUp() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(wake_, &one, sizeof one);
    }

    void watch(FdSource* source, bool on) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = source;
        if (on)
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, source->fd(), &ev);
        else
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, source->fd(), nullptr);
    }

    void forget(FdSource* source) {
        watch(source, false);
        sources_.erase(source);
    }

private:
    double nextTimer() {
        double next = 0;
        for (auto& t : timers_)
            if (t->isEnabled() && (next == 0 || t->next_ < next)) next = t->next_;
        return next;
    }

    bool runDueTimers(double now) {
        std::erase_if(timers_, [](const auto& t) { return !t->valid_; });
        std::vector<std::shared_ptr<TimerEntry>> due;
        for (auto& t : timers_)
            if (t->isEnabled() && t->next_ <= now) due.push_back(t);
        for (auto& t : due) {
            if (t->interval_ > 0)
                t->next_ = std::max(t->next_ + t->interval_, now);
            else
                t->valid_ = false;
            auto callback = t->callback_;
            callback();
        }
        return !due.empty();
    }

    int epoll_;
    int wake_;
    std::map<FdSource*, std::shared_ptr<FdSource>> sources_;
    std::vector<std::shared_ptr<TimerEntry>> timers_;
};

void FdSource::setEnabled(bool enabled) {
    if (!valid_ || enabled == enabled_) return;
    enabled_ = enabled;
    loop_->watch(this, enabled);
}

void FdSource::invalidate() {
    if (!valid_) return;
    valid_ = false;
    auto keep = shared_from_this();
    if (enabled_) loop_->watch(this, false);
    enabled_ = false;
    loop_->forget(this);
}

EpollRunLoop* makeLoop(bool servesMainQueue) {
    auto* loop = new EpollRunLoop;
    if (servesMainQueue)
        loop->addReadSource(dispatch::detail::mainQueueWakeFd(), [] { dispatch::detail::drainMainQueue(); });
    return loop;
}

} // namespace

RunLoop& RunLoop::current() {
    // Loops live as long as their thread; the main one for the whole process.
    thread_local std::unique_ptr<EpollRunLoop> loop;
    if (dispatch::isMainThread()) return main();
    if (!loop) loop.reset(makeLoop(false));
    return *loop;
}

RunLoop& RunLoop::main() {
    static EpollRunLoop* loop = makeLoop(true);
    return *loop;
}

void RunLoop::runFor(double seconds) {
    const Date limit = Date::now().addingSeconds(seconds);
    while (Date::now() < limit) runUntil(limit);
}

} // namespace pf
