#pragma once
// The elastic pool behind the global queues: a task that blocks never
// starves the others, because a new worker starts whenever a task is queued
// and no worker is idle. Idle workers leave after a while.
#include "platform/dispatch/Queue.h"

namespace pf::dispatch::detail {

void submitToPool(Priority priority, Task task);

} // namespace pf::dispatch::detail
