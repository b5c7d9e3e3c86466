#include "async/StandardQueues.h"

#include "async/Manager.h"
#include "async/Worker.h"

namespace VD::async {
namespace {

// Lives as long as the process (the static keeps it reachable to the end).
worker& the_main_thread_worker() {
    static worker* const w = new worker(worker::main_thread_t{});
    return *w;
}

// Members are made in this order and destroyed in the reverse one.
struct standard_queues {
    standard_queues() { main.shuttle()->main_worker = &the_main_thread_worker(); }

    queue main{"_main", true, 0};
    queue high{"_high", false, 2};
    queue normal{"_normal", false, 0};
    queue low{"_low", false, -2};
    queue bg{"_bg", false, kBackgroundPriority};
};

standard_queues& standard() {
    static standard_queues queues;
    return queues;
}

// Made before the entry point, so that the queues exist from start-up.
[[maybe_unused]] const bool g_made_at_startup = (standard(), true);

} // namespace

queue& main_queue() { return standard().main; }
queue& high_queue() { return standard().high; }
queue& normal_queue() { return standard().normal; }
queue& low_queue() { return standard().low; }
queue& bg_queue() { return standard().bg; }
worker& main_thread_worker() { return the_main_thread_worker(); }

} // namespace VD::async
