#pragma once
// Items handed over on other threads, with a watchdog wait for the n-th.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace vt {

template <class T>
class Collected {
public:
    void add(T item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
        cv_.notify_all();
    }
    bool waitFor(std::size_t n, std::chrono::milliseconds watchdog = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, watchdog, [&] { return items_.size() >= n; });
    }
    std::vector<T> items() {
        std::lock_guard lock(mutex_);
        return items_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<T> items_;
};

} // namespace vt
