#include "platform/dispatch/ThreadPool.h"

#include <pthread.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace pf::dispatch::detail {
namespace {

constexpr int kPriorities = 4;
constexpr int kMaxWorkers = 512;
constexpr int kWarmWorkers = 2;
constexpr auto kIdleExit = std::chrono::seconds(5);

class Pool {
public:
    void submit(Priority priority, Task task) {
        std::unique_lock lock(mutex_);
        queues_[static_cast<int>(priority)].push_back(std::move(task));
        ++pending_;
        // An idle worker counts until it wakes, so a burst of tasks must not
        // all lean on the same one: start a worker unless enough idle ones
        // remain for every queued task.
        if (std::size_t(idle_) >= pending_ || workers_ >= kMaxWorkers) {
            cv_.notify_one();
            return;
        }
        ++workers_;
        lock.unlock();
        std::thread([this] { work(); }).detach();
    }

private:
    bool takeNext(Task& out) {
        for (auto& queue : queues_) {
            if (!queue.empty()) {
                out = std::move(queue.front());
                queue.pop_front();
                --pending_;
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

    std::mutex mutex_;
    std::condition_variable cv_;
    std::array<std::deque<Task>, kPriorities> queues_;
    std::size_t pending_ = 0;
    int workers_ = 0;
    int idle_ = 0;
};

Pool& pool() {
    // Never destroyed: workers may still run while the process exits.
    static Pool* instance = new Pool;
    return *instance;
}

} // namespace

void submitToPool(Priority priority, Task task) { pool().submit(priority, std::move(task)); }

} // namespace pf::dispatch::detail
