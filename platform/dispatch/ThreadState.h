#pragma once
// Whether the scheduler counts a thread of this process as runnable (running
// or waiting for a core) or as waiting for something (sleeping in a system
// call, a lock, disk), read from /proc/self/task/<tid>/stat.
#include <sys/types.h>

namespace pf::dispatch::detail {

enum class ThreadState { Runnable, Waiting, Unknown };

ThreadState readThreadState(pid_t tid);
pid_t currentThreadId();

} // namespace pf::dispatch::detail
