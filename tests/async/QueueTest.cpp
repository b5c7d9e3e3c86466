// Queues on the real manager and pool: order, waits, handles destroyed
// while their tasks run, task failures, the main queue, thread names.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "async/StandardQueues.h"
#include "async/Worker.h"
#include "platform/dispatch/Queue.h"
#include "tests/async/AsyncTestSupport.h"

namespace {

using namespace VD::async;
using vt::async::eventually;
using vt::async::submit;
using vt::async::within;

constexpr auto kWatchdog = std::chrono::seconds(10);

// Also: a wait returns at once on a queue never used, and again once drained.
TEST(Queue, SerialRunsOneAtATimeInOrderBehindAMarker) {
    queue q("test.serial", true, 0);
    within([&] { q.wait(); });
    vt::Event started, release;
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> running{0}, most{0};
    for (int i = 0; i < 3; ++i)
        submit(q, [&, i] {
            most = std::max(most.load(), ++running);
            if (i == 0) started.signal(), release.wait();
            std::lock_guard lock(mutex);
            order.push_back(i);
            --running;
        });
    ASSERT_TRUE(started.wait());
    {
        std::lock_guard lock(q.shuttle()->lock);
        EXPECT_EQ(q.shuttle()->tasks.size(), 3u);
        EXPECT_FALSE(q.shuttle()->tasks.front().valid());
    }
    release.signal();
    within([&] { q.wait(); });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(most.load(), 1);
    within([&] { q.wait(); });
}

TEST(Queue, SubmitRefusesInvalidTasksAndZombies) {
    auto q = std::make_unique<queue>("test.refuse", false, 0);
    std::vector<std::string> refused;
    auto trySubmit = [&](queue& into, task&& t) {
        try {
            into.submit(std::move(t));
        } catch (const std::runtime_error& e) {
            refused.push_back(e.what());
            EXPECT_EQ(t.valid(), refused.size() == 2) << "a refused task stays with the caller";
        }
    };
    trySubmit(*q, task());
    // A task submits to its own queue while the handle is being destroyed.
    submit(*q, [&, raw = q.get()] {
        eventually([&] { return raw->shuttle()->zombie.load(); });
        trySubmit(*raw, task([] {}));
    });
    within([&] { q.reset(); });
    EXPECT_EQ(refused, (std::vector<std::string>{"invalid task!", "zombie queue!"}));
}

// From inside its own task the destructor waits only for the queue's other
// running tasks; waiting tasks still run and the queue then leaves the manager.
TEST(Queue, HandleDestroyedFromItsOwnTask) {
    for (bool serial : {false, true}) {
        auto q = std::make_unique<queue>("test.own", serial, 0);
        qshuttle* state = q->shuttle().get();
        std::weak_ptr<qshuttle> shared = q->shuttle();
        vt::Event submitted;
        std::atomic<bool> otherDone{false}, otherDoneAtDestroy{false};
        // The other task ends only once the handle's destruction has begun.
        if (!serial) submit(*q, [&] { otherDone = eventually([&] { return state->zombie.load(); }); });
        auto destroyer = submit(*q, [&] {
            submitted.wait();
            q.reset();
            otherDoneAtDestroy = otherDone.load();
        });
        auto waiting = submit(*q, [] {});
        submitted.signal();
        EXPECT_EQ(destroyer.wait_for(kWatchdog * 2), std::future_status::ready);
        EXPECT_EQ(otherDoneAtDestroy.load(), !serial);
        EXPECT_EQ(waiting.wait_for(kWatchdog), std::future_status::ready);
        EXPECT_TRUE(eventually([&] { return shared.expired(); })) << "still registered";
    }
}

// A body's exception reaches its future; a task that already ran is a fault
// of the invocation, reported at site 288, and the queue goes on.
TEST(Queue, TaskFailuresReachFutureOrReport) {
    queue q("test.fail", true, 0);
    testing::internal::CaptureStdout();
    auto thrown = submit(q, [] { throw std::runtime_error("boom"); });
    task ranBefore([] {});
    ranBefore();
    q.submit(std::move(ranBefore));
    auto after = submit(q, [] {});
    within([&] { q.wait(); });
    const std::string out = testing::internal::GetCapturedStdout();
    try {
        thrown.get();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "boom");
    }
    EXPECT_NO_THROW(after.get());
    const std::future_error satisfied(std::future_errc::promise_already_satisfied);
    EXPECT_EQ(out, std::string("Exception @ 288: ") + satisfied.what() + "\n");
}

TEST(Queue, MainQueueRunsOnTheMainThreadWorker) {
    std::vector<std::pair<worker*, bool>> seen;
    for (int i = 0; i < 2; ++i)
        submit(main_queue(), [&] { seen.emplace_back(current_worker(), pf::dispatch::isMainThread()); });
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return seen.size() == 2; }));
    const std::pair<worker*, bool> expected{&main_thread_worker(), true};
    EXPECT_EQ(seen, (std::vector{expected, expected}));
    EXPECT_EQ(current_worker(), nullptr);
}

TEST(Queue, ThreadNames) {
    char name[16] = {};
    auto done = submit(normal_queue(), [&] { ::pthread_getname_np(::pthread_self(), name, sizeof name); });
    ASSERT_EQ(done.wait_for(kWatchdog), std::future_status::ready);
    EXPECT_STREQ(name, "VD::async::work");
    EXPECT_EQ(vt::async::threadsNamed("VD::async::mana"), 1);
}

} // namespace
