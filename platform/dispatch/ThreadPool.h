#pragma once
// The elastic pool behind the global queues. As many tasks run at once as the
// process may use cores; a task that blocks never starves the others, because
// a watcher that finds a worker waiting in the kernel on the same task at two
// looks in a row lets one more task run in its place, starting a thread when
// no idle one is left. Workers beyond the warm ones leave when idle. A task
// queued from a worker's task may wait for that task to end, up to a couple
// of milliseconds, rather than wake another thread (see leaveForSubmitter).
#include "platform/dispatch/Queue.h"

namespace pf::dispatch::detail {

void submitToPool(Priority priority, Task task);

// While one lives, tasks this thread queues get a thread at once, never wait
// for the task that queued them: for a task that queues work and then waits
// for it.
class WakeNowScope {
public:
    WakeNowScope();
    ~WakeNowScope();
    WakeNowScope(const WakeNowScope&) = delete;
    WakeNowScope& operator=(const WakeNowScope&) = delete;
};

} // namespace pf::dispatch::detail
