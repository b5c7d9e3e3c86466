#pragma once
// The elastic pool behind the global queues. As many tasks run at once as the
// process may use cores; a task that blocks never starves the others, because
// a watcher that finds a worker waiting in the kernel on the same task at two
// looks in a row lets one more task run in its place, starting a thread when
// no idle one is left. Workers beyond the warm ones leave when idle.
#include "platform/dispatch/Queue.h"

namespace pf::dispatch::detail {

void submitToPool(Priority priority, Task task);

} // namespace pf::dispatch::detail
