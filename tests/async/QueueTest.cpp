// Queues on the real manager and pool: order, concurrency, waits, handles
// destroyed while their tasks run, task failures, the main queue, names.
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
using vt::async::within;

std::future<void> submit(queue& q, std::function<void()> body) {
    task t(std::move(body));
    auto future = t.get_future();
    q.submit(std::move(t));
    return future;
}

bool frontIsMarker(queue& q) {
    auto& s = *q.shuttle();
    std::lock_guard lock(s.lock);
    return !s.tasks.empty() && !s.tasks.front().valid();
}

TEST(Queue, SerialRunsOneAtATimeInOrderBehindAMarker) {
    queue q("test.serial", true, 0);
    vt::Event started, release;
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> running{0}, most{0};
    for (int i = 0; i < 3; ++i)
        submit(q, [&, i] {
            most = std::max(most.load(), ++running);
            if (i == 0) {
                started.signal();
                release.wait();
            }
            std::lock_guard lock(mutex);
            order.push_back(i);
            --running;
        });
    ASSERT_TRUE(started.wait());
    EXPECT_TRUE(frontIsMarker(q));
    EXPECT_EQ(q.shuttle()->tasks.size(), 3u);
    release.signal();
    within([&] { q.wait(); });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(most.load(), 1);
}

TEST(Queue, ConcurrentRunsSeveralAtOnce) {
    queue q("test.concurrent", false, 0);
    std::atomic<int> arrived{0}, alone{0};
    for (int i = 0; i < 4; ++i)
        submit(q, [&] {
            ++arrived;
            // Each task returns once a second one runs beside it.
            if (!vt::waitForCount(arrived, 2)) ++alone;
        });
    within([&] { q.wait(); });
    EXPECT_EQ(arrived.load(), 4);
    EXPECT_EQ(alone.load(), 0);
}

TEST(Queue, WaitReturnsOnceDrained) {
    enum class Before { nothing, drainedAlready, submitted };
    for (Before before : {Before::nothing, Before::drainedAlready, Before::submitted}) {
        queue q("test.wait", true, -2);
        std::atomic<bool> ran{false};
        if (before == Before::drainedAlready) within([&] { q.wait(); });
        if (before == Before::submitted) submit(q, [&] { ran = true; });
        within([&] { q.wait(); });
        EXPECT_EQ(ran.load(), before == Before::submitted);
    }
}

TEST(Queue, SubmitRefusesInvalidTasksAndZombies) {
    auto q = std::make_unique<queue>("test.refuse", false, 0);
    task invalid;
    try {
        q->submit(std::move(invalid));
        ADD_FAILURE() << "accepted an invalid task";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "invalid task!");
    }
    // A task submits to its queue while the handle is being destroyed.
    std::string refused;
    submit(*q, [&, raw = q.get()] {
        eventually([&] { return raw->shuttle()->zombie.load(); });
        task late([] {});
        try {
            raw->submit(std::move(late));
        } catch (const std::runtime_error& e) {
            refused = e.what();
        }
        EXPECT_TRUE(late.valid());
    });
    within([&] { q.reset(); });
    EXPECT_EQ(refused, "zombie queue!");
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
        EXPECT_EQ(destroyer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        EXPECT_EQ(otherDoneAtDestroy.load(), !serial);
        EXPECT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(eventually([&] { return shared.expired(); })) << "still registered";
    }
}

TEST(Queue, TaskFailuresReachFutureOrReport) {
    queue q("test.fail", true, 0);
    vt::async::CapturedStdout out;
    auto thrown = submit(q, [] { throw std::runtime_error("boom"); });
    task ranBefore([] {});
    ranBefore();
    q.submit(std::move(ranBefore));
    auto after = submit(q, [] {});
    within([&] { q.wait(); });
    EXPECT_THROW(
        try { thrown.get(); } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "boom");
            throw;
        },
        std::runtime_error);
    EXPECT_NO_THROW(after.get());
    const std::future_error alreadyRun(std::future_errc::promise_already_satisfied);
    EXPECT_EQ(out.text(), std::string("Exception @ 288: ") + alreadyRun.what() + "\n");
}

TEST(Queue, MainQueueRunsOnTheMainThreadWorker) {
    std::vector<worker*> seen;
    std::vector<bool> onMain;
    std::atomic<int> done{0};
    for (int i = 0; i < 2; ++i)
        submit(main_queue(), [&] {
            seen.push_back(current_worker());
            onMain.push_back(pf::dispatch::isMainThread());
            ++done;
        });
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return done == 2; }));
    EXPECT_EQ(seen, (std::vector<worker*>{&main_thread_worker(), &main_thread_worker()}));
    EXPECT_EQ(onMain, (std::vector<bool>{true, true}));
    EXPECT_EQ(current_worker(), nullptr);
}

TEST(Queue, ThreadNames) {
    char name[16] = {};
    auto done = submit(normal_queue(), [&] { ::pthread_getname_np(::pthread_self(), name, sizeof name); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_STREQ(name, "VD::async::work");
    EXPECT_EQ(vt::async::countThreadsNamed("VD::async::mana"), 1);
}

} // namespace
