// Queues on the real manager and pool: order, waits, task failures, the main
// queue, handles destroyed while their tasks run; a worker of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
using testing::StrEq;
using testing::ThrowsMessage;
using vt::async::submit;
using vt::async::within;

constexpr auto kWatchdog = std::chrono::seconds(10);

// Also: a wait returns at once on a queue never used, and again once drained;
// a body's exception reaches its future; a task that already ran is a fault
// of the invocation, reported at site 288, and the queue goes on.
TEST(Queue, SerialRunsOneAtATimeInOrderThroughFailures) {
    queue q("test.serial", true, 0);
    within([&] { q.wait(); });
    vt::Event started, release;
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> running{0}, most{0};
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i)
        submit(q, [&, i] {
            most = std::max(most.load(), ++running);
            if (i == 0) started.signal(), release.wait();
            std::lock_guard lock(mutex);
            order.push_back(i);
            --running;
        });
    auto thrown = submit(q, [] { throw std::runtime_error("boom"); });
    task ranBefore([] {});
    ranBefore();
    q.submit(std::move(ranBefore));
    auto after = submit(q, [] {});
    ASSERT_TRUE(started.wait());
    release.signal();
    within([&] { q.wait(); });
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(most.load(), 1);
    EXPECT_THAT([&] { thrown.get(); }, ThrowsMessage<std::runtime_error>(StrEq("boom")));
    EXPECT_NO_THROW(after.get());
    const std::future_error satisfied(std::future_errc::promise_already_satisfied);
    EXPECT_EQ(out, std::string("Exception @ 288: ") + satisfied.what() + "\n");
    within([&] { q.wait(); });
    EXPECT_EQ(vt::async::threadsNamed("VD::async::mana"), 1); // one manager, however many queues
    EXPECT_GE(vt::async::threadsNamed("VD::async::work"), 1);
}

// From inside its own task the destructor waits only for the queue's other
// running tasks, which can no longer submit to it; waiting tasks still run
// and the queue then leaves the manager.
TEST(Queue, HandleDestroyedFromItsOwnTaskAndSubmitsRefused) {
    EXPECT_THAT([] { normal_queue().submit(task()); }, ThrowsMessage<std::runtime_error>(StrEq("invalid task!")));
    for (bool serial : {false, true}) {
        auto q = std::make_unique<queue>("test.own", serial, 0);
        queue* raw = q.get();
        std::weak_ptr<qshuttle> shared = q->shuttle();
        vt::Event submitted;
        std::atomic<bool> otherDone{false}, otherDoneAtDestroy{false};
        // The other task ends only once the handle's destruction has begun.
        if (!serial)
            submit(*q, [&] {
                vt::waitUntil([&] { return raw->shuttle()->zombie.load(); });
                task late([] {});
                EXPECT_THAT([&] { raw->submit(std::move(late)); },
                            ThrowsMessage<std::runtime_error>(StrEq("zombie queue!")));
                EXPECT_TRUE(late.valid()) << "a refused task stays with the caller";
                otherDone = true;
            });
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
        EXPECT_TRUE(vt::waitUntil([&] { return shared.expired(); })) << "still registered";
    }
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

TEST(Worker, DrainsAgainWhenWokenWhileDrainingAndSurvivesAFailedRun) {
    testing::internal::CaptureStdout();
    worker w("test.worker");
    task second([] {}), alreadyRun([] {}), last([] {});
    auto secondDone = second.get_future(), lastDone = last.get_future();
    // Handed off from the worker's own drain after it counted what remains:
    // only the kept wake-up makes it run.
    w.hand_off(task([&] { w.hand_off(std::move(second)); }));
    EXPECT_EQ(secondDone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    alreadyRun();
    w.hand_off(std::move(alreadyRun));
    w.hand_off(std::move(last));
    EXPECT_EQ(lastDone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::future_error satisfied(std::future_errc::promise_already_satisfied);
    EXPECT_EQ(out, std::string("Exception @ 935: ") + satisfied.what() + "\n");
}

} // namespace
