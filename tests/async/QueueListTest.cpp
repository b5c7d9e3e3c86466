// Where registration puts a queue, and which tasks the walks of one dispatch
// pass take, driven through the manager's own list code without threads.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "async/QueueList.h"

namespace {

using namespace VD::async;

struct Spec {
    std::string name;
    bool serial;
    int priority;
    int tasks;
};

queue_list makeList(const std::vector<Spec>& specs) {
    queue_list list;
    for (const auto& s : specs) {
        auto q = std::make_shared<qshuttle>(s.name, s.serial, s.priority);
        for (int i = 0; i < s.tasks; ++i) q->tasks.emplace_back([] {});
        list.push_back(q);
    }
    return list;
}

bool listed(const std::string& list, const std::string& name) {
    return (" " + list + " ").find(" " + name + " ") != std::string::npos;
}

std::string names(const queue_list& list) {
    std::string out;
    for (const auto& q : list) out += (out.empty() ? "" : " ") + q->name;
    return out;
}

TEST(QueueList, RegistrationOrder) {
    struct Row {
        std::vector<Spec> registered;
        std::string order;
    } rows[] = {
        {{{"p2", 0, 2, 0}, {"m2", 0, -2, 0}, {"p0", 0, 0, 0}}, "p2 m2 p0"},
        {{{"_main", 1, 0, 0}, {"_high", 0, 2, 0}, {"_normal", 0, 0, 0}, {"_low", 0, -2, 0}, {"_bg", 0, -254, 0},
          {"log1", 1, -254, 0}, {"log2", 1, -254, 0}},
         "_high _main _normal _low _bg log2 log1"},
    };
    for (const auto& row : rows) {
        queue_list list;
        for (auto& q : makeList(row.registered)) register_queue(list, q);
        EXPECT_EQ(names(list), row.order);
    }
}

TEST(QueueList, WalksTakeOneTaskPerQueueInListOrder) {
    struct Row {
        std::vector<Spec> queues;
        unsigned cap;
        std::string deferredQueue;
        std::string handedOver;
        std::vector<std::size_t> left;  // entries left per queue (markers included)
    } rows[] = {
        {{{"a", 0, 2, 2}, {"b", 0, 0, 2}, {"c", 0, -2, 2}}, 10, "", "a b c a b c", {0, 0, 0}},
        {{{"a", 0, 2, 2}, {"b", 0, 0, 2}, {"c", 0, -2, 2}}, 4, "", "a b c a", {0, 1, 1}},
        {{{"s", 1, 0, 3}, {"c", 0, 0, 2}}, 10, "", "s c c", {3, 0}},
        {{{"s", 1, 0, 0}, {"c", 0, 0, 1}}, 10, "", "c", {0, 0}},
        {{{"n", 0, 0, 1}, {"bg", 0, -254, 2}, {"sbg", 1, -254, 2}}, 10, "bg sbg", "n", {0, 2, 2}},
    };
    for (const auto& row : rows) {
        auto list = makeList(row.queues);
        std::string handed;
        walk_queues(list, row.cap, [&](const std::shared_ptr<qshuttle>& q, task&) {
            if (listed(row.deferredQueue, q->name)) return hand_over_result::deferred;
            handed += (handed.empty() ? "" : " ") + q->name;
            return hand_over_result::dispatched;
        });
        EXPECT_EQ(handed, row.handedOver);
        std::vector<std::size_t> left;
        for (const auto& q : list) {
            left.push_back(q->tasks.size());
            // A deferred task is back in place; a serial queue whose task was taken shows a marker.
            if (!q->tasks.empty()) {
                EXPECT_EQ(q->tasks.front().valid(), !q->serial || listed(row.deferredQueue, q->name)) << q->name;
            }
        }
        EXPECT_EQ(left, row.left) << row.handedOver;
    }
}

// A failed hand-off destroys the task (its future: broken promise) and ends
// the walk; a serial queue loses its marker so that its next task can go.
TEST(QueueList, FailedHandOverFreesSerialQueue) {
    auto list = makeList({{"s", 1, 0, 0}});
    auto& q = *list.front();
    task first([] {});
    auto future = first.get_future();
    q.tasks.push_back(std::move(first));
    q.tasks.emplace_back([] {});
    EXPECT_THROW(walk_queues(list, 10,
                             [](const std::shared_ptr<qshuttle>&, task&) -> hand_over_result {
                                 throw std::runtime_error("limit");
                             }),
                 std::runtime_error);
    ASSERT_EQ(q.tasks.size(), 1u);
    EXPECT_TRUE(q.tasks.front().valid());
    try {
        future.get();
        ADD_FAILURE() << "no broken promise";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::future_errc::broken_promise);
    }
}

} // namespace
