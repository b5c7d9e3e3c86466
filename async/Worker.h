#pragma once
// An executor of VD::async: a FIFO of packaged tasks drained by one thread of
// its own, or, for the main-thread worker, drained on the main dispatch queue.
// Only the manager creates workers, hands them tasks and retires them.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "async/SpinLock.h"
#include "async/Task.h"

namespace VD::async {

struct qshuttle;

class worker {
public:
    // Starts a thread that waits for its first wake-up; a thread that cannot
    // be started throws the thread facility's system error.
    explicit worker(std::string name);
    // The main-thread worker: no thread; each hand-off posts a drain to the
    // main dispatch queue.
    struct main_thread_t {};
    explicit worker(main_thread_t);
    // Stops and joins the thread, if any (its FIFO is expected to be empty).
    ~worker();
    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;

    void hand_off(task t);
    // Runs every task in the FIFO on the calling thread.
    void drain();
    bool has_thread() const { return thread_.joinable(); }
    // No task waiting and none running.
    bool is_idle();
    // Sets stop, wakes the thread and joins it.
    void stop_and_join();

    // Queue of the task being run; touched only by the thread running this worker's tasks.
    std::weak_ptr<qshuttle> current_queue;

private:
    void run(std::string name);
    void wake();
    void signal_wakeup();
    void wait_for_wakeup();

    spin_lock lock_;
    task_fifo tasks_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> stop_{false};
    int wakeup_ = 0;
    std::mutex wakeup_mutex_;
    std::condition_variable wakeup_cv_;
    std::thread thread_;
};

// The worker whose tasks this thread is running, or none.
worker* current_worker() noexcept;

// Linux thread names hold 15 bytes: longer names are cut to their first 15
// ("VD::async::manager" runs as "VD::async::mana", "VD::async::worker" as
// "VD::async::work").
std::string kernel_thread_name(const std::string& name);

} // namespace VD::async
