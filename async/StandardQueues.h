#pragma once
// The five standard queues, made before the entry point runs and destroyed
// by the exit handlers in reverse order. Callers reach them through these
// accessors, which hand out the one process-wide handle of each.
#include "async/Queue.h"

namespace VD::async {

queue& main_queue();    // "_main": serial, priority 0, tasks run on the main thread
queue& high_queue();    // "_high": concurrent, priority 2
queue& normal_queue();  // "_normal": concurrent, priority 0
queue& low_queue();     // "_low": concurrent, priority -2
queue& bg_queue();      // "_bg": concurrent, background class (-254)

// The worker that runs "_main"'s tasks on the main thread.
worker& main_thread_worker();

} // namespace VD::async
