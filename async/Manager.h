#pragma once
// The process-wide task manager: it keeps the registered queues in dispatch
// order and the pool of workers, and makes every scheduling decision on its
// own thread ("VD::async::manager"), so no scheduling lock exists.
#include <atomic>
#include <cstdint>
#include <memory>

#include "async/Pool.h"
#include "async/QShuttle.h"
#include "async/QueueList.h"
#include "async/Worker.h"

namespace VD::async {

class manager {
public:
    // Created on first use and never destroyed.
    static manager& shared();

    // Registers the queue on the manager's thread, before any pass posted later.
    void add(std::shared_ptr<qshuttle> q);
    // Asks for a dispatch pass; requests coalesce while one is posted or running.
    void schedule();

private:
    manager();
    void dispatch();
    hand_over_result hand_over(const std::shared_ptr<qshuttle>& q, task& t);
    void housekeeping();
    void complete(qshuttle& q);

    std::atomic_flag dispatch_pending_;
    worker manager_worker_;
    queue_list queues_;
    pool pool_;
};

// Tasks handed to workers and not yet completed, over all queues.
std::uint64_t tasks_in_flight() noexcept;

} // namespace VD::async
