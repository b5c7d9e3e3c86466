#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/ThreadState.h"
#include "platform/foundation/Date.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::Date;
using pf::RunLoop;
using Result = RunLoop::Result;

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    int reader() const { return fds[0]; }
    void put() const { EXPECT_EQ(::write(fds[1], "x", 1), 1); }
    void drain() const {
        char buffer[64]; // far more than is ever pending
        (void)!::read(fds[0], buffer, sizeof buffer);
    }
};

// Runs the body on a thread of its own, so its loop sees no main-queue work.
void onOwnThread(const std::function<void(RunLoop&)>& body) {
    std::thread t([&] { body(RunLoop::current()); });
    t.join();
}

Result runBriefly(RunLoop& loop) { return loop.runUntil(Date::now().addingSeconds(0.02)); }

TEST(RunLoop, EachThreadHasItsOwnLoopWhichItsSourcesOutlive) {
    ASSERT_TRUE(pf::dispatch::isMainThread());
    EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
    RunLoop *a = nullptr, *again = nullptr;
    Pipe pipe;
    std::shared_ptr<RunLoop::Source> source, timer;
    onOwnThread([&](RunLoop& loop) {
        a = &loop, again = &RunLoop::current();
        source = loop.addReadSource(pipe.reader(), [] {});
        timer = loop.addTimer(0.0, 1.0, [] {});
    });
    EXPECT_EQ(a, again);
    EXPECT_NE(a, &RunLoop::main());
    // The loop ended with its thread; its sources are inert, not dangling.
    for (auto* s : {source.get(), timer.get()}) {
        s->setEnabled(true);
        s->invalidate();
        EXPECT_FALSE(s->isEnabled());
    }
}

TEST(RunLoop, ReadSourcesSwitchOffAndOnAndMayInvalidateReadyOnes) {
    onOwnThread([](RunLoop& loop) {
        Pipe pipe;
        int calls = 0;
        auto source = loop.addReadSource(pipe.reader(), [&] {
            ++calls;
            pipe.drain();
        });
        EXPECT_EQ(runBriefly(loop), Result::TimedOut); // nothing to read yet

        // Each step switches the source ('+' on, '-' off, 'x' invalidate),
        // maybe writes a byte, and runs the loop once.
        struct Step {
            const char* what;
            const char* switches;
            bool write, enabled;
            Result result;
            int calls;
        };
        const Step steps[] = {
            {"readable", "", true, true, Result::HandledInput, 1},
            {"drained", "", false, true, Result::TimedOut, 1},
            {"off while readable", "-", true, false, Result::TimedOut, 1},
            {"on again: the pending byte is seen", "+", false, true, Result::HandledInput, 2},
            {"off twice", "--", false, false, Result::TimedOut, 2},
            {"on twice", "++", true, true, Result::HandledInput, 3},
            {"invalidated", "x", true, false, Result::TimedOut, 3},
            {"an invalidated source stays off", "+", false, false, Result::TimedOut, 3},
        };
        for (const auto& s : steps) {
            for (const char* c = s.switches; *c; ++c) {
                if (*c == 'x') source->invalidate();
                else source->setEnabled(*c == '+');
            }
            EXPECT_EQ(source->isEnabled(), s.enabled) << s.what;
            if (s.write) pipe.put();
            EXPECT_EQ(runBriefly(loop), s.result) << s.what;
            EXPECT_EQ(calls, s.calls) << s.what;
        }

        // Two ready sources whose callbacks invalidate both: whichever runs
        // first stops the other, and dropping them leaves nothing behind.
        Pipe first, second;
        std::shared_ptr<RunLoop::Source> a, b;
        const auto stopBoth = [&] {
            ++calls;
            a->invalidate();
            b->invalidate();
        };
        a = loop.addReadSource(first.reader(), stopBoth);
        b = loop.addReadSource(second.reader(), stopBoth);
        first.put();
        second.put();
        EXPECT_EQ(runBriefly(loop), Result::HandledInput);
        EXPECT_EQ(calls, 4);
        a.reset();
        b.reset();
        EXPECT_EQ(runBriefly(loop), Result::TimedOut);
    });
}

TEST(RunLoop, TimedOutOnlyAtTheLimitAndWakeUpFromAnotherThread) {
    onOwnThread([](RunLoop& loop) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(loop.runUntil(Date::now().addingSeconds(0.05)), Result::TimedOut);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(49));
        EXPECT_EQ(loop.runUntil(Date::now().addingSeconds(-1)), Result::TimedOut); // a past limit returns at once

        // Whether the wake-up comes before or while the loop waits, it ends
        // the wait long before the limit, and counts as input; waits longer
        // than epoll's 24 days, or endless, do not overflow.
        for (double seconds : {30.0, 30.0 * 86400, 1e300, HUGE_VAL}) {
            std::thread waker([&] { loop.wakeUp(); });
            EXPECT_EQ(loop.runUntil(Date::now().addingSeconds(seconds)), Result::HandledInput) << seconds;
            waker.join();
        }
    });
}

TEST(RunLoop, OtherThreadsMayAddToARunningLoop) {
    RunLoop* loop = nullptr;
    pid_t ownerTid = 0;
    std::atomic<pid_t> firedOn{0};
    std::atomic<bool> stop{false};
    vt::Event running, fired;
    std::thread owner([&] {
        loop = &RunLoop::current();
        ownerTid = pf::dispatch::detail::currentThreadId();
        running.signal();
        // An hour-long wait: a timer added meanwhile must shorten it.
        while (!stop) loop->runUntil(Date::now().addingSeconds(3600));
    });
    ASSERT_TRUE(running.wait());
    // Added once the owner sleeps in its wait, not before it computes it.
    using pf::dispatch::detail::ThreadState;
    vt::waitUntil([&] { return pf::dispatch::detail::readThreadState(ownerTid) == ThreadState::Waiting; });
    auto timer = loop->addTimer(0.01, 0.0, [&] {
        firedOn = pf::dispatch::detail::currentThreadId();
        fired.signal();
    });
    EXPECT_TRUE(fired.wait()) << "the wait did not take the new timer into account";
    EXPECT_EQ(firedOn, ownerTid);
    EXPECT_FALSE(timer->isEnabled()); // a fired one-shot timer is spent
    stop = true;
    loop->wakeUp();
    owner.join();
}

} // namespace
