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
        {"once, later, with leeway", 20 * kMs, 0, 5 * kMs, 1},
        {"repeating", 1 * kMs, 5 * kMs, 0, 5},
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
        EXPECT_FALSE(wrongQueue) << c.what;
    }
}

TEST(TimerSource, FiresOnlyWhileResumedAndWithinTheClockAndLivesUntilCancelled) {
    auto queue = Queue::serial("timer");
    const auto everyMs = [&](std::atomic<int>& counter) {
        auto timer = TimerSource::create(queue);
        timer->setTimer(0, 1 * kMs, 0);
        timer->setEventHandler([&counter] { ++counter; });
        return timer;
    };
    std::atomic<int> fired{0}, resumedFired{0};
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

    // A resumed source that the caller lets go keeps firing until it cancels itself.
    auto resumed = everyMs(resumedFired);
    const std::weak_ptr<TimerSource> weak = resumed;
    resumed->setEventHandler([&resumedFired, weak] {
        if (++resumedFired == 5)
            if (auto self = weak.lock()) self->cancel();
    });
    resumed->resume();
    resumed.reset();
    ASSERT_TRUE(waitForCount(resumedFired, 5));
    passDeadline(queue, 0.05);
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(resumedFired, 5);
    // Its last firings have passed the timer thread and the queue by now.
    EXPECT_TRUE(weak.expired()) << "a cancelled source is not released";
    for (auto& t : {forever, month, suspended}) t->cancel();
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

} // namespace
