#include "platform/dispatch/ThreadPool.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace pf::dispatch::detail {
namespace {

constexpr int kPriorities = 4;
constexpr int kMaxWorkers = 512;
constexpr int kWarmWorkers = 2;
constexpr auto kIdleExit = std::chrono::seconds(5);
// How long queued tasks may wait without any being taken before the watcher
// decides that the workers are blocked and adds one.
constexpr auto kStall = std::chrono::milliseconds(2);

class Pool {
public:
    Pool() : parallelism_(std::max(kWarmWorkers, static_cast<int>(std::thread::hardware_concurrency()))) {}

    void submit(Priority priority, Task task) {
        std::unique_lock lock(mutex_);
        queues_[static_cast<int>(priority)].push_back(std::move(task));
        ++pending_;
        // An idle worker counts until it wakes, so a burst of tasks must not
        // all lean on the same one.
        if (idle_ > 0) cv_.notify_one();
        if (std::size_t(idle_) >= pending_) return;
        if (workers_ < parallelism_) {
            startWorker(lock);
            return;
        }
        // Every worker is busy: the watcher keeps an eye on them.
        if (!watcherStarted_) {
            watcherStarted_ = true;
            std::thread([this] { watch(); }).detach();
        } else if (watcherAsleep_) {
            watcherCv_.notify_one();
        }
    }

private:
    void startWorker(std::unique_lock<std::mutex>& lock) {
        ++workers_;
        lock.unlock();
        std::thread([this] { work(); }).detach();
    }

    bool takeNext(Task& out) {
        for (auto& queue : queues_) {
            if (!queue.empty()) {
                out = std::move(queue.front());
                queue.pop_front();
                --pending_;
                ++taken_;
                return true;
            }
        }
        return false;
    }

    void work() {
        pthread_setname_np(pthread_self(), "pf.global");
        std::unique_lock lock(mutex_);
        for (;;) {
            Task task;
            if (takeNext(task)) {
                lock.unlock();
                task();
                task = nullptr; // captured state dies outside the lock
                lock.lock();
                continue;
            }
            ++idle_;
            const bool woke = cv_.wait_for(lock, kIdleExit, [&] { return pending_ > 0; });
            --idle_;
            if (!woke && workers_ > kWarmWorkers) {
                --workers_;
                return;
            }
        }
    }

    // Sleeps while nothing waits; otherwise looks every kStall whether any
    // task was taken since the last look, and adds a worker when none was.
    void watch() {
        pthread_setname_np(pthread_self(), "pf.global.watch");
        std::unique_lock lock(mutex_);
        for (;;) {
            watcherAsleep_ = true;
            watcherCv_.wait(lock, [&] { return pending_ > 0; });
            watcherAsleep_ = false;
            const std::uint64_t seen = taken_;
            lock.unlock();
            std::this_thread::sleep_for(kStall);
            lock.lock();
            if (pending_ > 0 && taken_ == seen && workers_ < kMaxWorkers) {
                startWorker(lock);
                lock.lock();
            }
        }
    }

    const int parallelism_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable watcherCv_;
    std::array<std::deque<Task>, kPriorities> queues_;
    std::size_t pending_ = 0;
    std::uint64_t taken_ = 0;
    int workers_ = 0;
    int idle_ = 0;
    bool watcherStarted_ = false;
    bool watcherAsleep_ = false;
};

Pool& pool() {
    // Never destroyed: workers may still run while the process exits.
    static Pool* instance = new Pool;
    return *instance;
}

} // namespace

void submitToPool(Priority priority, Task task) { pool().submit(priority, std::move(task)); }

} // namespace pf::dispatch::detail
