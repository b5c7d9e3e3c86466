#pragma once
// The manager's list of queues: where a new queue goes, and the walks of a
// dispatch pass that take tasks from it, highest priority first.
#include <functional>
#include <list>
#include <memory>

#include "async/QShuttle.h"

namespace VD::async {

using queue_list = std::list<std::shared_ptr<qshuttle>>;

// After the first queue of equal priority; else at the front when above the
// first queue's priority; else at the back.
void register_queue(queue_list& queues, std::shared_ptr<qshuttle> q);

enum class hand_over_result { dispatched, deferred };
// Hands one task of q to a worker; leaves the task in place when deferring.
using hand_over_fn = std::function<hand_over_result(const std::shared_ptr<qshuttle>& q, task& t)>;

// Walks the list, taking at most one task per queue per walk, and walks again
// while concurrent queues hold more, until cap tasks were handed over. An
// exception from hand_over ends the walks and propagates; the task it was
// given is then destroyed.
void walk_queues(queue_list& queues, unsigned cap, const hand_over_fn& hand_over);

} // namespace VD::async
