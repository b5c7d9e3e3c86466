#include "platform/dispatch/TimerThread.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace pf::dispatch::detail {
namespace {

using Clock = std::chrono::steady_clock;

class TimerThread {
public:
    TimerThread() { std::thread([this] { run(); }).detach(); }

    std::uint64_t schedule(double seconds, std::function<void()> callback) {
        const auto delay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
        std::lock_guard lock(mutex_);
        const std::uint64_t id = ++nextId_;
        due_.emplace(std::make_pair(Clock::now() + delay, id), std::move(callback));
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

std::uint64_t scheduleAfter(double seconds, std::function<void()> callback) {
    return timers().schedule(seconds, std::move(callback));
}

void cancelTimer(std::uint64_t id) { timers().cancel(id); }

} // namespace pf::dispatch::detail
