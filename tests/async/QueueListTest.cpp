// Where registration puts a queue, and which tasks the walks of one dispatch
// pass take, driven through the manager's own list code without threads.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "async/QueueList.h"

namespace {

using namespace VD::async;

// Queues registered in the order described, each "name:kind:priority:tasks",
// kind s (serial) or c (concurrent).
queue_list makeList(const std::vector<std::string>& descriptions) {
    queue_list list;
    for (const auto& described : descriptions) {
        char name[16], kind;
        int priority, tasks;
        std::sscanf(described.c_str(), "%15[^:]:%c:%d:%d", name, &kind, &priority, &tasks);
        auto q = std::make_shared<qshuttle>(name, kind == 's', priority);
        for (int i = 0; i < tasks; ++i) q->tasks.emplace_back([] {});
        register_queue(list, q);
    }
    return list;
}

// Each walk takes one task per queue in registration order; walks repeat
// while concurrent queues hold more, up to cap. Deferred tasks go back in
// place; a serial queue whose task was taken keeps its marker ('m') in front.
// A failed hand-off ("fail", which cannot start a thread) destroys the task
// and ends the walk ('!'); its serial queue loses the marker.
TEST(QueueList, RegistrationAndWalksInListOrder) {
    struct Row {
        std::vector<std::string> queues;
        unsigned cap;
        std::string deferred, handedOver, left;
    } rows[] = {
        {{"p2:c:2:1", "m2:c:-2:1", "p0:c:0:1"}, 10, "", "p2 m2 p0 ", "0 0 0 "},
        {{"_main:s:0:1", "_high:c:2:1", "_normal:c:0:1", "_low:c:-2:1", "_bg:c:-254:1", "log1:s:-254:1",
          "log2:s:-254:1"},
         10, "", "_high _main _normal _low _bg log2 log1 ", "0 1m 0 0 0 1m 1m "},
        {{"a:c:2:2", "b:c:0:2", "c:c:-2:2"}, 4, "", "a b c a ", "0 1 1 "},
        {{"s:s:0:3", "c:c:0:2"}, 10, "", "s c c ", "3m 0 "},
        {{"n:c:0:1", "bg:c:-254:2", "sbg:s:-254:2"}, 10, "bg sbg ", "n ", "0 2 2 "},
        {{"fail:s:0:2", "c:c:0:1"}, 10, "", "! ", "1 1 "},
    };
    for (const auto& row : rows) {
        auto list = makeList(row.queues);
        std::string handed, left;
        try {
            walk_queues(list, row.cap, [&](const std::shared_ptr<qshuttle>& q, task&) {
                if (q->name == "fail") throw std::runtime_error("limit");
                if ((" " + row.deferred).find(" " + q->name + " ") != std::string::npos) return hand_over_result::deferred;
                handed += q->name + " ";
                return hand_over_result::dispatched;
            });
        } catch (const std::runtime_error&) {
            handed += "! ";
        }
        for (const auto& q : list)
            left += std::to_string(q->tasks.size()) + (!q->tasks.empty() && !q->tasks.front().valid() ? "m " : " ");
        EXPECT_EQ(handed, row.handedOver);
        EXPECT_EQ(left, row.left) << row.handedOver;
    }
}

} // namespace
