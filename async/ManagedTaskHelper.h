#pragma once
// What a worker runs for a queued task: the task itself, then the queue's
// completion. The worker's current queue names the task's queue meanwhile.
#include <functional>
#include <memory>

#include "async/QShuttle.h"
#include "async/Task.h"

namespace VD::async {

struct managed_task_helper {
    task user_task;
    std::function<void()> on_done;  // holds a shared reference to the queue
    std::weak_ptr<qshuttle> queue;

    void operator()();
};

} // namespace VD::async
