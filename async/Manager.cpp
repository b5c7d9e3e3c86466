#include "async/Manager.h"

#include <utility>

#include "async/ManagedTaskHelper.h"
#include "async/Report.h"
#include "async/ThreadLimit.h"

namespace VD::async {
namespace {

constexpr unsigned kPostPassSite = 597;
constexpr unsigned kWalkSite = 736;

std::atomic<std::uint64_t> g_tasks_in_flight{0};

} // namespace

std::uint64_t tasks_in_flight() noexcept { return g_tasks_in_flight.load(std::memory_order_acquire); }

manager& manager::shared() {
    static manager* const instance = new manager();
    return *instance;
}

manager::manager() : manager_worker_("VD::async::manager") {}

void manager::add(std::shared_ptr<qshuttle> q) {
    manager_worker_.hand_off(task([this, q = std::move(q)]() mutable {
        register_queue(queues_, std::move(q));
        // A submit or wait on the new queue may have been folded into a pass
        // posted before this registration, which could not see the queue;
        // one more pass makes sure it is served.
        schedule();
    }));
}

void manager::schedule() {
    if (dispatch_pending_.test_and_set(std::memory_order_seq_cst)) return;
    try {
        manager_worker_.hand_off(task([this] { dispatch(); }));
    } catch (const std::exception& e) {
        // Nothing was posted: the flag is cleared so that a later request can post a pass.
        dispatch_pending_.clear(std::memory_order_release);
        report_exception(kPostPassSite, e);
    } catch (...) {
        dispatch_pending_.clear(std::memory_order_release);
        report_unknown_exception(kPostPassSite);
    }
}

hand_over_result manager::hand_over(const std::shared_ptr<qshuttle>& q, task& t) {
    worker* w = q->main_worker ? q->main_worker : pool_.choose(q->priority);
    if (!w) return hand_over_result::deferred;
    // Only the manager gives pool workers tasks, and only idle ones: anything
    // else is a fault of this library.
    if (w->has_thread() && !w->is_idle()) terminate_process("VD::async " + q->name + " worker not idle!");
    task managed(managed_task_helper{std::move(t), [this, q] { complete(*q); }, q});
    q->in_flight.fetch_add(1, std::memory_order_acq_rel);
    g_tasks_in_flight.fetch_add(1, std::memory_order_acq_rel);
    try {
        w->hand_off(std::move(managed));
    } catch (...) {
        q->in_flight.fetch_sub(1, std::memory_order_acq_rel);
        g_tasks_in_flight.fetch_sub(1, std::memory_order_acq_rel);
        throw;
    }
    return hand_over_result::dispatched;
}

void manager::dispatch() {
    try {
        walk_queues(queues_, pool_cap(), [this](const auto& q, task& t) { return hand_over(q, t); });
    } catch (const std::exception& e) {
        report_exception(kWalkSite, e);
    } catch (...) {
        // Not reported: only standard exceptions carry a text for this site.
    }
    housekeeping();
}

void manager::housekeeping() {
    // Cleared before the queues are inspected: a submission or completion
    // after this posts a new pass, one before it is seen below. Sequentially
    // consistent, as the inspection's loads must not move before the clear.
    dispatch_pending_.clear(std::memory_order_seq_cst);
    bool pending = false;
    for (auto it = queues_.begin(); it != queues_.end();) {
        qshuttle& q = **it;
        bool drained_now = false;
        {
            std::lock_guard lock(q.lock);
            if (!q.tasks.empty()) pending = pending || q.tasks.front().valid();
            else drained_now = q.in_flight.load(std::memory_order_seq_cst) == 0;
        }
        if (drained_now) {
            // The zombie flag is read before the drained signal is given: read
            // after it, a handle destroyed meanwhile could see an older signal
            // consumed, wait, and find its queue already gone from the list.
            const bool zombie = q.zombie.load(std::memory_order_seq_cst);
            {
                std::lock_guard lock(q.drain_mutex);
                if (std::exchange(q.drained, 1) <= 0) q.drain_cv.notify_all();
            }
            if (zombie) {
                it = queues_.erase(it);
                continue;
            }
        }
        ++it;
    }
    if (pending) {
        pool_.back_off();
        schedule();
        return;
    }
    pool_.retire_one(tasks_in_flight());
}

void manager::complete(qshuttle& q) {
    if (q.serial) {
        std::lock_guard lock(q.lock);
        if (!q.tasks.empty()) q.tasks.pop_front();  // the in-flight marker
    }
    g_tasks_in_flight.fetch_sub(1, std::memory_order_acq_rel);
    const auto before = q.in_flight.fetch_sub(1, std::memory_order_seq_cst);
    if (q.serial || before == 1) schedule();
}

} // namespace VD::async
