#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/dispatch/TimerThread.h"
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
    // "Forever" (all bits set) and a month away must not overflow the clock
    // into the past.
    auto forever = everyMs(fired), month = everyMs(fired);
    forever->setTimer(UINT64_MAX, UINT64_MAX, 0);
    month->setTimer(31ull * 86400 * 1000 * kMs, 0, 0);
    for (auto& t : {forever, month}) t->resume();
    passDeadline(queue, 0.05);
    EXPECT_EQ(fired, 0);
    for (auto& t : {forever, month}) t->cancel();

    auto running = everyMs(runningFired);
    running->resume();
    ASSERT_TRUE(waitForCount(runningFired, 3));
    queue->sync([&] { running->cancel(); }); // between two handler runs
    const int atCancel = runningFired;
    passDeadline(queue, 0.05);
    EXPECT_EQ(runningFired, atCancel);
    suspended->cancel();
}

TEST(TimerSource, DeadlinesStayOnTheGridOfThePeriod) {
    using pf::dispatch::detail::nextTimerDeadline;
    const pf::dispatch::detail::TimerClock::time_point t0{100s};
    // Every firing handled 0.9 ms late: a 1 ms timer still fires 1000 times
    // in a second, not 1000 / 1.9; deadlines missed altogether fold into one.
    int fired = 0;
    for (auto deadline = t0; deadline < t0 + 1s; ++fired) deadline = nextTimerDeadline(deadline, 1ms, deadline + 900us);
    EXPECT_EQ(fired, 1000);
    EXPECT_EQ(nextTimerDeadline(t0, 1ms, t0 + 3500us), t0 + 4ms);
}

TEST(TimerSource, AResumedSourceLivesUntilCancelled) {
    auto queue = Queue::serial("timer");
    std::atomic<int> fired{0};
    auto timer = TimerSource::create(queue);
    const std::weak_ptr<TimerSource> weak = timer;
    timer->setTimer(0, 1 * kMs, 0);
    timer->setEventHandler([&fired, weak] {
        if (++fired == 5)
            if (auto self = weak.lock()) self->cancel();
    });
    timer->resume();
    timer.reset(); // the caller lets it go: it keeps firing
    ASSERT_TRUE(waitForCount(fired, 5));
    passDeadline(queue, 0.05);
    EXPECT_EQ(fired, 5);
    // Its last firings have passed the timer thread and the queue by now.
    EXPECT_TRUE(weak.expired()) << "a cancelled source is not released";
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
