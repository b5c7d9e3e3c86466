#include "async/Queue.h"

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "async/Manager.h"
#include "async/Report.h"
#include "async/Worker.h"

namespace VD::async {
namespace {

constexpr auto kOwnTaskPoll = std::chrono::milliseconds(10);

bool running_own_task(const std::shared_ptr<qshuttle>& q) {
    worker* w = current_worker();
    return w && w->current_queue.lock() == q;
}

} // namespace

queue::queue(std::string name, bool serial, std::int32_t priority)
    : shuttle_(std::make_shared<qshuttle>(std::move(name), serial, priority)) {
    manager::shared().add(shuttle_);
}

queue::~queue() {
    shuttle_->zombie.store(true, std::memory_order_seq_cst);
    if (running_own_task(shuttle_)) {
        // Waiting for a drain could never end: this task is in flight. Wait
        // only for the queue's other running tasks.
        while (shuttle_->in_flight.load(std::memory_order_acquire) >= 2) std::this_thread::sleep_for(kOwnTaskPoll);
        return;
    }
    try {
        wait();
    } catch (const std::exception& e) {
        terminate_process(std::string("VD::async queue ") + shuttle_->name + ": " + e.what());
    } catch (...) {
        terminate_process("VD::async queue " + shuttle_->name + ": unknown exception while waiting");
    }
}

void queue::submit(task&& t) {
    if (!t.valid()) throw std::runtime_error("invalid task!");
    if (shuttle_->zombie.load(std::memory_order_acquire)) throw std::runtime_error("zombie queue!");
    {
        std::lock_guard lock(shuttle_->lock);
        shuttle_->tasks.push_back(std::move(t));
        std::lock_guard drain(shuttle_->drain_mutex);
        shuttle_->drained = 0;
    }
    manager::shared().schedule();
}

void queue::wait() {
    manager::shared().schedule();
    std::unique_lock lock(shuttle_->drain_mutex);
    if (std::exchange(shuttle_->drained, 0) > 0) return;
    shuttle_->drain_cv.wait(lock, [this] { return shuttle_->drained > 0; });
}

} // namespace VD::async
