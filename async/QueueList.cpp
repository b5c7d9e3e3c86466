#include "async/QueueList.h"

#include <algorithm>
#include <mutex>

#include "async/Report.h"

namespace VD::async {
namespace {

constexpr unsigned kPutBackSite = 623;

// Moves the front task out: a concurrent queue loses the entry, a serial one
// keeps the emptied entry as its in-flight marker. Sets remainder to the
// tasks left that a further walk could take.
task take_front(qshuttle& q, std::size_t& remainder) {
    std::lock_guard lock(q.lock);
    remainder = 0;
    if (q.tasks.empty()) return {};
    task t = std::move(q.tasks.front());
    if (!q.serial) {
        q.tasks.pop_front();
        remainder = q.tasks.size();
    }
    return t;
}

void put_back(qshuttle& q, task& t) {
    std::lock_guard lock(q.lock);
    if (q.serial && !q.tasks.empty()) q.tasks.front() = std::move(t);
    else q.tasks.push_front(std::move(t));
}

// A serial task that was destroyed by a failed hand-off leaves its marker in
// front; removing it here lets the next pass take the queue's next task
// instead of leaving the queue blocked for good.
void drop_marker(qshuttle& q) {
    std::lock_guard lock(q.lock);
    if (!q.tasks.empty() && !q.tasks.front().valid()) q.tasks.pop_front();
}

} // namespace

void register_queue(queue_list& queues, std::shared_ptr<qshuttle> q) {
    const auto p = q->priority;
    auto same = std::find_if(queues.begin(), queues.end(), [p](const auto& other) { return other->priority == p; });
    if (same != queues.end()) queues.insert(std::next(same), std::move(q));
    else if (!queues.empty() && p > queues.front()->priority) queues.push_front(std::move(q));
    else queues.push_back(std::move(q));
}

void walk_queues(queue_list& queues, unsigned cap, const hand_over_fn& hand_over) {
    unsigned dispatched = 0;
    std::size_t total_remainder;
    do {
        total_remainder = 0;
        for (auto& q : queues) {
            std::size_t remainder;
            task t = take_front(*q, remainder);
            if (t.valid()) {
                hand_over_result result;
                try {
                    result = hand_over(q, t);
                } catch (...) {
                    if (q->serial) drop_marker(*q);
                    throw;
                }
                if (result == hand_over_result::deferred) {
                    // A put-back that fails loses the task; the walk goes on.
                    run_reported(kPutBackSite, [&] { put_back(*q, t); });
                    continue;
                }
                ++dispatched;
            }
            total_remainder += remainder;
            if (dispatched >= cap) {
                total_remainder = 0;
                break;
            }
        }
    } while (total_remainder != 0);
}

} // namespace VD::async
