#include "async/Worker.h"

#include <pthread.h>

#include <utility>

#include "async/Report.h"
#include "platform/dispatch/Queue.h"

namespace VD::async {
namespace {

thread_local worker* t_current_worker = nullptr;

constexpr unsigned kDrainSite = 935;
constexpr std::size_t kThreadNameBytes = 15;

} // namespace

worker* current_worker() noexcept { return t_current_worker; }

std::string kernel_thread_name(const std::string& name) { return name.substr(0, kThreadNameBytes); }

worker::worker(std::string name) { thread_ = std::thread(&worker::run, this, std::move(name)); }

worker::worker(main_thread_t) {}

worker::~worker() {
    if (thread_.joinable()) stop_and_join();
}

void worker::run(std::string name) {
    t_current_worker = this;
    if (!name.empty()) ::pthread_setname_np(::pthread_self(), kernel_thread_name(name).c_str());
    wait_for_wakeup();
    for (;;) {
        drain();
        if (stop_.load(std::memory_order_acquire)) break;
        wait_for_wakeup();
    }
    t_current_worker = nullptr;
}

// A wake-up that came while draining stays set, so this returns at once.
void worker::wait_for_wakeup() {
    std::unique_lock lock(wakeup_mutex_);
    const int seen = std::exchange(wakeup_, 0);
    if (seen <= 0) wakeup_cv_.wait(lock, [this] { return wakeup_ > 0; });
}

void worker::wake() {
    if (!thread_.joinable()) {
        pf::dispatch::Queue::main()->async([this] {
            t_current_worker = this;
            drain();
            t_current_worker = nullptr;
        });
        return;
    }
    signal_wakeup();
}

// The notification follows the unlock, so the woken thread does not run
// straight into the held mutex.
void worker::signal_wakeup() {
    std::unique_lock lock(wakeup_mutex_);
    if (std::exchange(wakeup_, 1) > 0) return;
    lock.unlock();
    wakeup_cv_.notify_all();
}

void worker::hand_off(task t) {
    {
        std::lock_guard lock(lock_);
        tasks_.push_back(std::move(t));
    }
    wake();
}

void worker::drain() {
    for (;;) {
        task next;
        std::size_t remaining;
        {
            std::lock_guard lock(lock_);
            if (tasks_.empty()) return;
            next = std::move(tasks_.front());
            tasks_.pop_front();
            busy_.store(true, std::memory_order_relaxed);
            remaining = tasks_.size();
        }
        // The task body's own exception stays in its promise; this catches what
        // escapes the invocation itself.
        run_reported(kDrainSite, [&] { next(); });
        next = task();
        busy_.store(false, std::memory_order_release);
        if (remaining == 0) return;
    }
}

bool worker::is_idle() {
    std::lock_guard lock(lock_);
    return tasks_.empty() && !busy_.load(std::memory_order_acquire);
}

void worker::stop_and_join() {
    stop_.store(true, std::memory_order_release);
    signal_wakeup();
    thread_.join();
}

} // namespace VD::async
