#pragma once
// The baseline executor of the queue benchmarks: plain threads taking tasks
// from one mutex-protected deque (one thread makes it a serial queue).
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vb {

class PlainPool {
public:
    explicit PlainPool(unsigned threads);
    // Runs what was pushed, then joins the threads.
    ~PlainPool();
    PlainPool(const PlainPool&) = delete;
    PlainPool& operator=(const PlainPool&) = delete;

    void push(std::function<void()> task);

private:
    void work();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

} // namespace vb
