#include "platform/dispatch/Queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/dispatch/ThreadPool.h"
#include "platform/dispatch/ThreadState.h"
#include "platform/dispatch/TimerThread.h"

namespace pf::dispatch {
namespace {

thread_local Queue* tCurrentQueue = nullptr;

// Marks the queue whose task runs on this thread, for Queue::current().
class CurrentQueueScope {
public:
    explicit CurrentQueueScope(Queue* queue) : saved_(tCurrentQueue) { tCurrentQueue = queue; }
    ~CurrentQueueScope() { tCurrentQueue = saved_; }

private:
    Queue* saved_;
};

class GlobalQueue final : public Queue {
public:
    GlobalQueue(Priority priority, std::string label) : priority_(priority), label_(std::move(label)) {}
    void async(Task task) override {
        detail::submitToPool(priority_, [this, task = std::move(task)] {
            CurrentQueueScope scope(this);
            task();
        });
    }
    const std::string& label() const override { return label_; }

private:
    Priority priority_;
    std::string label_;
};

// One task at a time, in order, on the target; no thread of its own.
class SerialQueue final : public Queue {
public:
    SerialQueue(std::string label, std::shared_ptr<Queue> target) : label_(std::move(label)), target_(std::move(target)) {}
    void async(Task task) override {
        std::unique_lock lock(mutex_);
        tasks_.push_back(std::move(task));
        if (draining_) return;
        draining_ = true;
        lock.unlock();
        scheduleDrain();
    }
    const std::string& label() const override { return label_; }

private:
    void scheduleDrain() {
        // The drain keeps the queue alive while it has work.
        target_->async([self = std::static_pointer_cast<SerialQueue>(shared_from_this())] { self->drain(); });
    }
    void drain() {
        // A bounded batch, then yield the worker so that one busy queue
        // cannot hold a thread forever while others wait.
        for (int i = 0; i < 64; ++i) {
            Task task;
            {
                std::lock_guard lock(mutex_);
                if (tasks_.empty()) {
                    draining_ = false;
                    return;
                }
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            CurrentQueueScope scope(this);
            task();
        }
        std::unique_lock lock(mutex_);
        if (tasks_.empty()) {
            draining_ = false;
            return;
        }
        lock.unlock();
        scheduleDrain();
    }

    std::string label_;
    std::shared_ptr<Queue> target_;
    std::mutex mutex_;
    std::deque<Task> tasks_;
    bool draining_ = false;
};

class MainQueue final : public Queue {
public:
    MainQueue() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    void async(Task task) override {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        const std::uint64_t one = 1;
        // The counter only signals "something is queued"; a full counter is
        // as good as a written one.
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    const std::string& label() const override { return label_; }
    int wakeFd() const { return wakeFd_; }
    void drain() {
        std::uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
        std::deque<Task> batch;
        {
            std::lock_guard lock(mutex_);
            batch.swap(tasks_);
        }
        CurrentQueueScope scope(this);
        while (!batch.empty()) {
            Task task = std::move(batch.front());
            batch.pop_front();
            try {
                task();
            } catch (...) {
                // Put back what this drain did not reach, and wake the loop
                // again, before the exception goes to the run loop's caller.
                std::lock_guard lock(mutex_);
                for (auto it = batch.rbegin(); it != batch.rend(); ++it) tasks_.push_front(std::move(*it));
                const std::uint64_t one = 1;
                n = ::write(wakeFd_, &one, sizeof one);
                throw;
            }
        }
    }

private:
    std::string label_ = "com.apple.main-thread";
    int wakeFd_;
    std::mutex mutex_;
    std::deque<Task> tasks_;
};

std::shared_ptr<MainQueue> mainQueue() {
    static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
    return *queue;
}

} // namespace

std::shared_ptr<Queue> Queue::main() { return mainQueue(); }

std::shared_ptr<Queue> Queue::global(Priority priority) {
    static auto* queues = new std::array<std::shared_ptr<Queue>, 4>{
        std::make_shared<GlobalQueue>(Priority::High, "com.apple.root.user-initiated-qos"),
        std::make_shared<GlobalQueue>(Priority::Default, "com.apple.root.default-qos"),
        std::make_shared<GlobalQueue>(Priority::Low, "com.apple.root.utility-qos"),
        std::make_shared<GlobalQueue>(Priority::Background, "com.apple.root.background-qos"),
    };
    return (*queues)[static_cast<std::size_t>(priority)];
}

std::shared_ptr<Queue> Queue::serial(std::string label, std::shared_ptr<Queue> target) {
    return std::make_shared<SerialQueue>(std::move(label), target ? std::move(target) : global());
}

std::shared_ptr<Queue> Queue::current() { return tCurrentQueue ? tCurrentQueue->shared_from_this() : nullptr; }

void Queue::after(double seconds, Task task) {
    detail::scheduleAfter(seconds, [queue = shared_from_this(), task = std::move(task)]() mutable {
        queue->async(std::move(task));
    });
}

void Queue::sync(Task task) {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    {
        detail::WakeNowScope now; // this thread waits for the task
        async([&] {
            task();
            std::lock_guard lock(mutex);
            done = true;
            cv.notify_all();
        });
    }
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
}

bool isMainThread() { return detail::currentThreadId() == ::getpid(); }

namespace detail {
int mainQueueWakeFd() { return mainQueue()->wakeFd(); }
void drainMainQueue() { mainQueue()->drain(); }
} // namespace detail

} // namespace pf::dispatch
