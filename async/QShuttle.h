#pragma once
// The shared state of one queue, held by its handle, by the manager's list,
// by completion callbacks and weakly by the workers running its tasks.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "async/SpinLock.h"
#include "async/Task.h"

namespace VD::async {

class worker;

// Priorities at or below this are the background class: their tasks wait
// for an idle worker rather than growing the pool past its cap.
constexpr std::int32_t kBackgroundPriority = -254;

struct qshuttle {
    qshuttle(std::string queue_name, bool is_serial, std::int32_t queue_priority)
        : serial(is_serial), priority(queue_priority), name(std::move(queue_name)) {}

    spin_lock lock;
    // Waiting tasks; while a serial queue's task runs, the front entry is its
    // emptied shell, the in-flight marker.
    task_fifo tasks;
    std::int32_t drained = 0;  // guarded by drain_mutex
    std::mutex drain_mutex;
    std::condition_variable drain_cv;
    std::atomic<std::uint64_t> in_flight{0};
    std::atomic<bool> zombie{false};
    const bool serial;
    const std::int32_t priority;
    const std::string name;
    // Set on "_main" only, before its first task: the worker that runs all its tasks.
    worker* main_worker = nullptr;
};

} // namespace VD::async
