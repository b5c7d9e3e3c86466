// Where registration puts a queue, and which tasks the walks of one dispatch
// pass take, driven through the manager's own list code without threads.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "async/QueueList.h"

namespace {

using namespace VD::async;

// "name:kind:priority:tasks", kind s (serial) or c (concurrent).
queue_list makeList(const std::vector<std::string>& descriptions) {
    queue_list list;
    for (const auto& described : descriptions) {
        char name[16], kind;
        int priority, tasks;
        std::sscanf(described.c_str(), "%15[^:]:%c:%d:%d", name, &kind, &priority, &tasks);
        list.push_back(std::make_shared<qshuttle>(name, kind == 's', priority));
        for (int i = 0; i < tasks; ++i) list.back()->tasks.emplace_back([] {});
    }
    return list;
}

TEST(QueueList, RegistrationOrder) {
    struct Row {
        std::vector<std::string> registered;
        std::string order;
    } rows[] = {
        {{"p2:c:2:0", "m2:c:-2:0", "p0:c:0:0"}, "p2 m2 p0 "},
        {{"_main:s:0:0", "_high:c:2:0", "_normal:c:0:0", "_low:c:-2:0", "_bg:c:-254:0", "log1:s:-254:0",
          "log2:s:-254:0"},
         "_high _main _normal _low _bg log2 log1 "},
    };
    for (const auto& row : rows) {
        queue_list list;
        for (auto& q : makeList(row.registered)) register_queue(list, q);
        std::string order;
        for (const auto& q : list) order += q->name + " ";
        EXPECT_EQ(order, row.order);
    }
}

// Each walk takes one task per queue in list order; walks repeat while
// concurrent queues hold more, up to cap. Deferred tasks go back in place; a
// serial queue whose task was taken keeps its marker ('m') in front.
TEST(QueueList, WalksTakeOneTaskPerQueueInListOrder) {
    struct Row {
        std::vector<std::string> queues;
        unsigned cap;
        std::string deferred, handedOver, left;
    } rows[] = {
        {{"a:c:2:2", "b:c:0:2", "c:c:-2:2"}, 10, "", "a b c a b c ", "0 0 0 "},
        {{"a:c:2:2", "b:c:0:2", "c:c:-2:2"}, 4, "", "a b c a ", "0 1 1 "},
        {{"s:s:0:3", "c:c:0:2"}, 10, "", "s c c ", "3m 0 "},
        {{"n:c:0:1", "bg:c:-254:2", "sbg:s:-254:2"}, 10, "bg sbg ", "n ", "0 2 2 "},
    };
    for (const auto& row : rows) {
        auto list = makeList(row.queues);
        std::string handed, left;
        walk_queues(list, row.cap, [&](const std::shared_ptr<qshuttle>& q, task&) {
            if ((" " + row.deferred).find(" " + q->name + " ") != std::string::npos) return hand_over_result::deferred;
            handed += q->name + " ";
            return hand_over_result::dispatched;
        });
        for (const auto& q : list)
            left += std::to_string(q->tasks.size()) + (!q->tasks.empty() && !q->tasks.front().valid() ? "m " : " ");
        EXPECT_EQ(handed, row.handedOver);
        EXPECT_EQ(left, row.left) << row.handedOver;
    }
}

// A failed hand-off destroys the task (its future: broken promise) and ends
// the walk; a serial queue loses its marker so that its next task can go.
TEST(QueueList, FailedHandOverFreesSerialQueue) {
    auto list = makeList({"s:s:0:0"});
    auto& q = *list.front();
    task first([] {});
    auto future = first.get_future();
    q.tasks.push_back(std::move(first));
    q.tasks.emplace_back([] {});
    EXPECT_THROW(walk_queues(list, 10, [](auto&, task&) -> hand_over_result { throw std::runtime_error("limit"); }),
                 std::runtime_error);
    EXPECT_TRUE(q.tasks.size() == 1 && q.tasks.front().valid());
    EXPECT_THROW(future.get(), std::future_error);
}

} // namespace
