#pragma once
// The elastic pool behind the global queues. As many workers as the machine
// has cores run the queued tasks; a task that blocks never starves the
// others, because a watcher adds a worker whenever tasks are waiting and none
// has been taken for a moment. Workers beyond the warm ones leave when idle.
#include "platform/dispatch/Queue.h"

namespace pf::dispatch::detail {

void submitToPool(Priority priority, Task task);

} // namespace pf::dispatch::detail
