#include "platform/dispatch/ThreadPool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/dispatch/ThreadState.h"

namespace pf::dispatch::detail {
namespace {

constexpr int kPriorities = 4;
// Blocked tasks can hold at most this many threads; tasks beyond wait.
constexpr int kMaxWorkers = 256;
constexpr int kWarmWorkers = 2;
constexpr auto kIdleExit = std::chrono::seconds(5);
// How often the watcher looks at the busy workers while tasks wait; looks
// that change nothing back off to the slowest rate.
constexpr auto kFirstLook = std::chrono::milliseconds(2);
constexpr auto kSlowestLook = std::chrono::milliseconds(16);
// How long a worker that just finished a task keeps looking for the next one
// before it sleeps. Tasks of a chain (a serial queue handing over to the
// next) often arrive within this; finding one costs no futex wake-up, where
// waking a sleeping worker costs 10-20 us. One worker looks at a time and
// yields meanwhile, so other threads on a busy machine lose little.
constexpr auto kLookBeforeSleep = std::chrono::microseconds(50);
// How long the watcher keeps looking at its first rate after the last task
// left for its submitter (see submit) before it sleeps until called.
constexpr auto kWatchAfterDeferral = std::chrono::milliseconds(200);

int usableCores() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

struct Worker {
    pid_t tid = 0;
    bool busy = false;
    std::uint64_t taskSerial = 0;   // counts the tasks it took
    std::uint64_t waitingSerial = 0; // the task it was seen waiting in at the last look
    bool blocked = false;            // counted in blocked_ until seen runnable or its task ends
    bool owes = false;               // a task it queued is left for it to take after its own
};

// The worker whose task runs on this thread, if any.
thread_local Worker* tWorker = nullptr;
thread_local int tWakeNow = 0; // WakeNowScopes alive on this thread

class Pool {
public:
    Pool() : parallelism_(std::max(kWarmWorkers, usableCores())) {}

    void submit(Priority priority, Task task) {
        std::unique_lock lock(mutex_);
        queues_[static_cast<int>(priority)].push_back(std::move(task));
        ++pending_;
        waiting_.store(pending_, std::memory_order_release);
        if (mayRunMore()) {
            // A worker looking for work takes this one without a wake-up.
            if (std::size_t(looking_) >= pending_) return;
            if (leaveForSubmitter()) return;
            // An idle worker counts until it wakes, so a burst of tasks must
            // not all lean on the same one.
            if (idle_ > 0) cv_.notify_one();
            if (std::size_t(idle_) >= pending_) return;
            if (workers_ < parallelism_ && startWorker(lock)) return;
        }
        wakeWatcher();
    }

private:
    bool mayRunMore() const { return busy_ < parallelism_ + blocked_; }

    // A task queued by a worker's task is most often the next step of a
    // chain, queued just before that task returns: the worker takes it
    // itself a moment later, where waking another thread would cost 10-20 us
    // and, on few cores, the CPU time both then fight over. One task per
    // running task is left so; should its submitter block or run long
    // instead, the watcher, which looks often while tasks are left so, hands
    // it to another worker within a look or two.
    bool leaveForSubmitter() {
        Worker* worker = tWorker;
        if (!worker || worker->owes || tWakeNow > 0 || pending_ > std::size_t(looking_ + owing_) + 1) return false;
        worker->owes = true;
        ++owing_;
        ++deferrals_;
        wakeWatcher(); // only an asleep or unstarted watcher needs it
        return true;
    }

    // Never throws: when no thread can start, the task stays queued for a
    // worker that exists, or for the watcher's next try.
    bool startWorker(std::unique_lock<std::mutex>& lock) {
        auto worker = std::make_shared<Worker>();
        all_.push_back(worker);
        ++workers_;
        ++starting_;
        lock.unlock();
        bool started = true;
        try {
            std::thread([this, worker] { work(worker); }).detach();
        } catch (const std::system_error&) {
            started = false;
        }
        lock.lock();
        if (!started) {
            --workers_;
            --starting_;
            std::erase(all_, worker);
        }
        return started;
    }

    void wakeWatcher() {
        if (watcherAsleep_) {
            watcherCv_.notify_one();
            return;
        }
        if (watcherStarted_) return;
        try {
            std::thread([this] { watch(); }).detach();
            watcherStarted_ = true;
        } catch (const std::system_error&) {
            // Tried again at the next submit.
        }
    }

    bool takeNext(Worker& worker, Task& out) {
        if (!mayRunMore()) return false;
        for (auto& queue : queues_) {
            if (!queue.empty()) {
                out = std::move(queue.front());
                queue.pop_front();
                --pending_;
                waiting_.store(pending_, std::memory_order_release);
                ++busy_;
                worker.busy = true;
                ++worker.taskSerial;
                return true;
            }
        }
        return false;
    }

    void finished(Worker& worker) {
        --busy_;
        worker.busy = false;
        if (worker.owes) {
            worker.owes = false;
            --owing_;
        }
        if (worker.blocked) {
            worker.blocked = false;
            --blocked_;
        }
    }

    void work(const std::shared_ptr<Worker>& self) {
        pthread_setname_np(pthread_self(), "pf.global");
        std::unique_lock lock(mutex_);
        self->tid = currentThreadId();
        tWorker = self.get();
        --starting_;
        for (;;) {
            Task task;
            if (takeNext(*self, task)) {
                lock.unlock();
                task();
                task = nullptr; // captured state dies outside the lock
                lock.lock();
                finished(*self);
                // Work is arriving: look for the next task a moment before sleeping.
                if (pending_ == 0 && looking_ == 0) lookBeforeSleep(lock);
                continue;
            }
            ++idle_;
            const bool woke = cv_.wait_for(lock, kIdleExit, [&] { return pending_ > 0 && mayRunMore(); });
            --idle_;
            if (!woke && workers_ > kWarmWorkers) {
                --workers_;
                std::erase(all_, self);
                return;
            }
        }
    }

    // Waits up to kLookBeforeSleep, without the lock, for a task to be
    // queued; the caller then takes it as usual. A task queued meanwhile is
    // not announced by a wake-up (see submit), so the lock is taken again
    // before the caller decides to sleep, and its wait finds the task.
    void lookBeforeSleep(std::unique_lock<std::mutex>& lock) {
        ++looking_;
        lock.unlock();
        const auto until = std::chrono::steady_clock::now() + kLookBeforeSleep;
        while (waiting_.load(std::memory_order_acquire) == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        lock.lock();
        --looking_;
    }

    // Sleeps while no task waits; otherwise looks at the busy workers. One
    // seen waiting in the kernel on the same task at two looks in a row is
    // blocked, and another task may run in its place; it counts again when
    // seen runnable or when its task ends. A single look would take a worker
    // that waits an instant for a lock for a blocked one.
    void watch() {
        pthread_setname_np(pthread_self(), "pf.global.watch");
        std::unique_lock lock(mutex_);
        auto interval = kFirstLook;
        std::uint64_t deferralsSeen = deferrals_;
        auto lastDeferral = std::chrono::steady_clock::now();
        for (;;) {
            if (deferrals_ != deferralsSeen) {
                deferralsSeen = deferrals_;
                lastDeferral = std::chrono::steady_clock::now();
            }
            if (pending_ == 0) {
                interval = kFirstLook;
                // Tasks left for their submitters are watched without a
                // wake-up of the watcher for each: it keeps looking a while.
                if (std::chrono::steady_clock::now() - lastDeferral > kWatchAfterDeferral) {
                    watcherAsleep_ = true;
                    watcherCv_.wait(lock, [&] { return pending_ > 0; });
                    watcherAsleep_ = false;
                }
            }
            lock.unlock();
            std::this_thread::sleep_for(interval);
            lock.lock();
            if (pending_ == 0) continue;
            // Both steps run every look: room is made even when no worker changed.
            const bool workersChanged = lookAtBusyWorkers(lock);
            const bool roomMade = addRoomForWaitingTasks(lock);
            interval = workersChanged || roomMade || owing_ > 0 ? kFirstLook : std::min(interval * 2, kSlowestLook);
        }
    }

    // Wakes idle workers, then starts threads (a few per look), for as many
    // waiting tasks as may run. Returns whether it started any.
    bool addRoomForWaitingTasks(std::unique_lock<std::mutex>& lock) {
        constexpr int kStartsPerLook = 4;
        int wanted = std::min<long>(parallelism_ + blocked_ - busy_ - starting_, static_cast<long>(pending_));
        if (wanted <= 0) return false;
        if (idle_ > 0) cv_.notify_all();
        wanted -= idle_;
        bool started = false;
        for (int i = 0; i < std::min(wanted, kStartsPerLook) && workers_ < kMaxWorkers; ++i)
            started = startWorker(lock) || started;
        return started;
    }

    // Returns whether any worker changed between blocked and not.
    bool lookAtBusyWorkers(std::unique_lock<std::mutex>& lock) {
        struct Seen {
            std::shared_ptr<Worker> worker;
            pid_t tid;
            std::uint64_t serial;
            ThreadState state;
        };
        std::vector<Seen> seen;
        for (const auto& worker : all_)
            if (worker->busy && worker->tid != 0) seen.push_back({worker, worker->tid, worker->taskSerial, {}});
        // The reads go to the kernel: done without the lock.
        lock.unlock();
        for (auto& s : seen) s.state = readThreadState(s.tid);
        lock.lock();
        bool changed = false;
        for (auto& s : seen) {
            Worker& worker = *s.worker;
            if (!worker.busy || worker.taskSerial != s.serial) continue; // it moved on meanwhile
            if (s.state == ThreadState::Waiting) {
                if (worker.waitingSerial == s.serial && !worker.blocked && blocked_ + parallelism_ < kMaxWorkers) {
                    worker.blocked = true;
                    ++blocked_;
                    changed = true;
                }
                worker.waitingSerial = s.serial;
            } else {
                worker.waitingSerial = 0;
                if (s.state == ThreadState::Runnable && worker.blocked) {
                    worker.blocked = false;
                    --blocked_;
                    changed = true;
                }
            }
        }
        return changed;
    }

    const int parallelism_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable watcherCv_;
    std::array<std::deque<Task>, kPriorities> queues_;
    std::vector<std::shared_ptr<Worker>> all_;
    std::size_t pending_ = 0;
    int workers_ = 0;
    int idle_ = 0;
    int busy_ = 0;
    int blocked_ = 0;
    int starting_ = 0; // threads started that have not taken the lock yet
    int looking_ = 0;  // workers in lookBeforeSleep
    int owing_ = 0;    // workers with a task left for them (leaveForSubmitter)
    std::uint64_t deferrals_ = 0; // tasks ever left so, for the watcher
    std::atomic<std::size_t> waiting_{0}; // pending_, for lookers without the lock
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

WakeNowScope::WakeNowScope() { ++tWakeNow; }
WakeNowScope::~WakeNowScope() { --tWakeNow; }

} // namespace pf::dispatch::detail
