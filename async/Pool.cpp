#include "async/Pool.h"

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "async/QShuttle.h"
#include "async/Report.h"
#include "async/ThreadLimit.h"

namespace VD::async {
namespace {

constexpr std::uint32_t kFatalFailures = 5;
constexpr auto kBackOff = std::chrono::milliseconds(100);

worker* first_idle(std::list<std::unique_ptr<worker>>& workers) {
    for (auto& w : workers)
        if (w->is_idle()) return w.get();
    return nullptr;
}

} // namespace

std::system_error thread_limit_error() {
    return std::system_error(EAGAIN, std::system_category(), "VD::async has hit its thread limit");
}

worker* pool::choose(std::int32_t priority) {
    if (worker* idle = first_idle(workers_)) return idle;
    if (priority <= kBackgroundPriority && workers_.size() >= pool_cap()) return nullptr;
    if (thread_limit_ == 0) thread_limit_ = compute_thread_limit();
    if (thread_limit_ < workers_.size() + 1) {
        ++thread_failures_;
        throw thread_limit_error();
    }
    thread_failures_ = 0;
    try {
        workers_.push_back(std::make_unique<worker>("VD::async::worker"));
    } catch (const std::exception&) {
        ++thread_failures_;
        throw std::exception();
    }
    return workers_.back().get();
}

void pool::back_off() {
    if (thread_failures_ >= kFatalFailures) terminate_process(thread_limit_error().what());
    if (thread_failures_ > 0) std::this_thread::sleep_for(kBackOff);
}

void pool::retire_one(std::uint64_t tasks_in_flight) {
    if (workers_.size() <= pool_cap() || tasks_in_flight != 0) return;
    for (auto it = workers_.begin(); it != workers_.end(); ++it) {
        if (!(*it)->is_idle()) continue;
        auto retiring = std::move(*it);
        workers_.erase(it);
        retiring->stop_and_join();
        return;
    }
}

} // namespace VD::async
