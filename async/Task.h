#pragma once
// The unit of work of VD::async: a packaged task taking and returning nothing.
// Tasks are moved, never copied; a task without a shared state (default-made
// or moved-from) is invalid. FIFOs hold the oldest task at the front.
#include <deque>
#include <future>

namespace VD::async {

using task = std::packaged_task<void()>;
using task_fifo = std::deque<task>;

} // namespace VD::async
