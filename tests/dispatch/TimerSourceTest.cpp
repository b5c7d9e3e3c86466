#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::dispatch::Queue;
using pf::dispatch::TimerSource;
using namespace std::chrono_literals;

constexpr std::uint64_t kMs = 1'000'000;

using vt::waitForCount;

// Lets the timer thread pass a deadline well after the given one; anything the
// timer was going to fire by then has reached its queue.
void passDeadline(std::shared_ptr<Queue> queue, double seconds) {
    vt::Event marker;
    queue->after(seconds, [&] { marker.signal(); });
    ASSERT_TRUE(marker.wait());
    queue->sync([] {}); // and has run, if the queue is serial
}

TEST(TimerSource, FiresAsConfiguredWhenSetWhileRunning) {
    struct Case {
        const char* what;
        std::uint64_t startNs, intervalNs, leewayNs;
        int expected; // firings to wait for
    };
    const Case cases[] = {
        {"once, at once", 0, 0, 0, 1},
        {"once, later", 20 * kMs, 0, 5 * kMs, 1},
        {"repeating", 1 * kMs, 5 * kMs, 0, 5},
        {"repeating with leeway", 1 * kMs, 5 * kMs, 50 * kMs, 5},
    };
    for (const auto& c : cases) {
        auto queue = Queue::serial("timer");
        auto timer = TimerSource::create(queue);
        std::atomic<int> fired{0};
        std::atomic<bool> wrongQueue{false};
        timer->setTimer(3600'000 * kMs, 0, 0); // an hour away: setting it again while it runs rearms it
        timer->setEventHandler([&] {
            if (Queue::current() != queue) wrongQueue = true;
            ++fired;
        });
        timer->resume();
        timer->setTimer(c.startNs, c.intervalNs, c.leewayNs);
        EXPECT_TRUE(waitForCount(fired, c.expected)) << c.what << " fired " << fired;
        if (c.intervalNs == 0) {
            passDeadline(queue, 0.1);
            EXPECT_EQ(fired, 1) << c.what << ": a one-shot timer fired again";
        }
        timer->cancel();
        queue->sync([] {}); // a handler already running has finished
        EXPECT_TRUE(timer->isCancelled());
        EXPECT_FALSE(wrongQueue) << c.what;
    }
}

TEST(TimerSource, NothingFiresBeforeResumeOrAfterCancel) {
    auto queue = Queue::serial("timer");
    const auto everyMs = [&](std::atomic<int>& counter) {
        auto timer = TimerSource::create(queue);
        timer->setTimer(0, 1 * kMs, 0);
        timer->setEventHandler([&counter] { ++counter; });
        return timer;
    };
    std::atomic<int> fired{0}, runningFired{0};
    auto suspended = everyMs(fired);
    auto cancelledFirst = everyMs(fired);
    cancelledFirst->cancel();
    cancelledFirst->resume();
    passDeadline(queue, 0.05);
    EXPECT_EQ(fired, 0);

    auto running = everyMs(runningFired);
    running->resume();
    ASSERT_TRUE(waitForCount(runningFired, 3));
    queue->sync([&] { running->cancel(); }); // between two handler runs
    const int atCancel = runningFired;
    passDeadline(queue, 0.05);
    EXPECT_EQ(runningFired, atCancel);
    suspended->cancel();
}

TEST(TimerSource, SlowHandlerRunsAreNeverConcurrent) {
    auto timer = TimerSource::create(Queue::global()); // a concurrent queue
    // Shared with the handler, which may still be running when the test ends.
    struct State {
        std::atomic<int> inFlight{0}, runs{0};
        std::atomic<bool> overlapped{false};
        vt::Event release;
    };
    auto state = std::make_shared<State>();
    timer->setTimer(0, 1 * kMs, 0);
    timer->setEventHandler([state] {
        if (state->inFlight.fetch_add(1) != 0) state->overlapped = true;
        if (state->runs.fetch_add(1) == 0) state->release.wait(); // hold the first run while firings pile up
        state->inFlight.fetch_sub(1);
    });
    timer->resume();
    ASSERT_TRUE(waitForCount(state->runs, 1));
    passDeadline(Queue::global(), 0.05);
    EXPECT_EQ(state->runs, 1); // firings during a run are coalesced, not queued
    state->release.signal();
    EXPECT_TRUE(waitForCount(state->runs, 4)); // and the timer goes on afterwards
    timer->cancel();
    EXPECT_FALSE(state->overlapped);
}

} // namespace
