#pragma once
// A named queue of VD::async tasks, serial (one task at a time, in order) or
// concurrent (tasks started in order, run at once on several threads). The
// handle only appends tasks and asks the manager for a pass; the manager's
// thread hands them to workers.
//
//   VD::async::queue q("com.example.work", true, 0);
//   VD::async::task t([] { ... });
//   auto done = t.get_future();
//   q.submit(std::move(t));
//   q.wait();
#include <cstdint>
#include <memory>
#include <string>

#include "async/QShuttle.h"
#include "async/Task.h"

namespace VD::async {

class queue {
public:
    queue(std::string name, bool serial, std::int32_t priority);
    // Marks the queue a zombie and waits for it to drain, or, from one of its
    // own tasks, only for its other running tasks. Waiting tasks still run.
    ~queue();
    queue(const queue&) = delete;
    queue& operator=(const queue&) = delete;

    // Throws std::runtime_error "invalid task!" or "zombie queue!" without
    // taking the task.
    void submit(task&& t);
    // Returns once the manager has found the queue drained after the call
    // began, or at once when it was found drained and nothing came since.
    // Never call it from a task of this queue, nor for "_main" on the main thread.
    void wait();

    const std::shared_ptr<qshuttle>& shuttle() const { return shuttle_; }

private:
    std::shared_ptr<qshuttle> shuttle_;
};

} // namespace VD::async
