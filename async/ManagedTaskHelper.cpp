#include "async/ManagedTaskHelper.h"

#include "async/Report.h"
#include "async/Worker.h"

namespace VD::async {
namespace {

constexpr unsigned kInvokeSite = 288;

} // namespace

void managed_task_helper::operator()() {
    worker* running = current_worker();
    if (running) running->current_queue = queue.lock();
    // The body's exception goes to its future; what escapes here is a fault of
    // the invocation itself, e.g. a task that had already run.
    run_reported(kInvokeSite, [this] { user_task(); });
    on_done();
    if (running) running->current_queue.reset();
}

} // namespace VD::async
