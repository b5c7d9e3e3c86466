#pragma once
// Dispatch queues: the main queue (drained by the main thread's run loop),
// global concurrent queues by priority on an elastic thread pool (a task that
// blocks never starves the others: the pool grows when every thread is busy
// and idle threads leave after a while), and serial queues that run one task
// at a time, in order, on a target queue.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace pf::dispatch {

enum class Priority { High, Default, Low, Background };
using Task = std::function<void()>;

class Queue : public std::enable_shared_from_this<Queue> {
public:
    virtual ~Queue() = default;
    virtual void async(Task task) = 0;
    virtual const std::string& label() const = 0;
    // Runs the task after the given delay (seconds), on this queue.
    void after(double seconds, Task task);
    // Runs the task on this queue and waits for it. Never call it for a serial
    // queue from a task of that queue, nor for the main queue from the main thread.
    void sync(Task task);

    static std::shared_ptr<Queue> main();
    static std::shared_ptr<Queue> global(Priority priority = Priority::Default);
    // A new serial queue; its tasks run on the target (the default global queue
    // when none is given).
    static std::shared_ptr<Queue> serial(std::string label, std::shared_ptr<Queue> target = nullptr);
    // The queue whose task is running on this thread, or nullptr.
    static std::shared_ptr<Queue> current();
};

bool isMainThread();

// dispatch_once: runs the block once per flag, even from many threads.
using OnceFlag = std::once_flag;
template <class F>
void once(OnceFlag& flag, F&& f) { std::call_once(flag, std::forward<F>(f)); }

} // namespace pf::dispatch
