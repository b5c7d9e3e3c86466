#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Date.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::dispatch::isMainThread;
using pf::dispatch::Priority;
using pf::dispatch::Queue;
using namespace std::chrono_literals;
using vt::waitForCount;

std::vector<int> upTo(int n) {
    std::vector<int> out(static_cast<std::size_t>(n));
    std::iota(out.begin(), out.end(), 0);
    return out;
}

TEST(SerialQueue, RunsTasksOneAtATimeInSubmissionOrder) {
    const std::pair<const char*, std::shared_ptr<Queue>> targets[] = {
        {"on the default global queue", nullptr},
        {"on a background global queue", Queue::global(Priority::Background)},
        {"on another serial queue", Queue::serial("outer")},
    };
    for (const auto& [what, target] : targets) {
        SCOPED_TRACE(what);
        auto queue = Queue::serial("com.vandrelsys.test", target);
        EXPECT_EQ(queue->label(), "com.vandrelsys.test");
        constexpr int kTasks = 1000; // many batches
        std::vector<int> order;
        std::atomic<int> inFlight{0};
        std::atomic<bool> overlapped{false}, wrongQueue{false};
        vt::Event done;
        for (int i = 0; i < kTasks; ++i) {
            queue->async([&, i] {
                if (inFlight.fetch_add(1) != 0) overlapped = true;
                if (Queue::current() != queue) wrongQueue = true;
                order.push_back(i);
                inFlight.fetch_sub(1);
                if (i == kTasks - 1) done.signal();
            });
        }
        ASSERT_TRUE(done.wait());
        EXPECT_FALSE(overlapped);
        EXPECT_FALSE(wrongQueue);
        EXPECT_EQ(order, upTo(kTasks));
    }
    // Two serial queues do not wait for each other.
    auto blocked = Queue::serial("blocked"), free = Queue::serial("free");
    vt::Event release, ran;
    blocked->async([&] { release.wait(); });
    free->async([&] { ran.signal(); });
    EXPECT_TRUE(ran.wait());
    release.signal();
    blocked->sync([] {}); // drained after the release
}

TEST(GlobalQueue, ABlockedTaskNeverStarvesOthers) {
    // Idle workers first: the pool must grow even when a burst of blocking
    // tasks finds some threads idle.
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> warm{0};
        for (int i = 0; i < 4; ++i) Queue::global()->async([&] { ++warm; });
        ASSERT_TRUE(waitForCount(warm, 4));
    }
    for (int blockedTasks : {1, 8, 64}) {
        vt::Event release;
        std::atomic<int> started{0}, finished{0};
        for (int i = 0; i < blockedTasks; ++i) {
            Queue::global(i % 2 ? Priority::Default : Priority::Low)->async([&] {
                ++started;
                if (release.wait(30s)) ++finished;
            });
        }
        // Every blocked task gets a thread of its own, and a task submitted
        // after them, which they wait for, still runs.
        EXPECT_TRUE(waitForCount(started, blockedTasks)) << blockedTasks << " started " << started;
        EXPECT_EQ(finished, 0);
        Queue::global(Priority::Background)->async([&] { release.signal(); });
        EXPECT_TRUE(waitForCount(finished, blockedTasks)) << "starved behind " << blockedTasks << " blocked tasks";
    }
}

TEST(GlobalQueue, BusyTasksDoNotMultiplyThreads) {
    // Tasks that keep a core busy are no blocked ones: as many run at once
    // as there are cores, and the pool does not grow for the ones waiting.
    const std::size_t cores = std::max(2u, std::thread::hardware_concurrency());
    constexpr int kTasks = 40;
    std::mutex mutex;
    std::set<pid_t> threads;
    std::atomic<int> done{0};
    for (int i = 0; i < kTasks; ++i) {
        Queue::global()->async([&] {
            for (const auto end = std::chrono::steady_clock::now() + 200ms; std::chrono::steady_clock::now() < end;) {
            }
            std::lock_guard lock(mutex);
            threads.insert(static_cast<pid_t>(::syscall(SYS_gettid)));
            ++done;
        });
    }
    ASSERT_TRUE(waitForCount(done, kTasks, 120s));
    EXPECT_LE(threads.size(), cores + 2);
}

TEST(GlobalQueue, AThreadThatCannotStartLeavesItsTaskQueued) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become a user whose thread count is limited";
    // In a fresh process (the pool must not exist yet): a user allowed no
    // more threads submits, which must not throw; once threads may start
    // again, the next submit starts a worker that runs both tasks.
    const auto scenario = [] {
        rlimit limit{};
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::getrlimit(RLIMIT_NPROC, &limit) != 0) std::_Exit(50);
        const rlimit none{0, limit.rlim_max};
        std::atomic<int> ran{0};
        ::setrlimit(RLIMIT_NPROC, &none);
        Queue::global()->async([&] { ++ran; });
        ::setrlimit(RLIMIT_NPROC, &limit);
        Queue::global()->async([&] { ++ran; });
        std::_Exit(waitForCount(ran, 2) ? 0 : 51);
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(scenario(), testing::ExitedWithCode(0), "");
}

TEST(GlobalQueue, LabelsAndCurrentQueue) {
    EXPECT_EQ(Queue::global()->label(), "com.apple.root.default-qos");
    EXPECT_EQ(Queue::main()->label(), "com.apple.main-thread");
    EXPECT_EQ(Queue::global(Priority::Default), Queue::global());
    EXPECT_NE(Queue::global(Priority::High), Queue::global(Priority::Low));
    EXPECT_EQ(Queue::current(), nullptr); // a plain thread runs no queue's task
    std::shared_ptr<Queue> seen;
    Queue::global(Priority::High)->sync([&] { seen = Queue::current(); });
    EXPECT_EQ(seen, Queue::global(Priority::High));
}

TEST(Queue, AfterRunsOnTheQueueNoEarlierThanAskedAndInDeadlineOrder) {
    const std::pair<std::shared_ptr<Queue>, double> cases[] = {
        {Queue::global(), 0.05}, {Queue::serial("later"), 0.02}, {Queue::global(), 0.0}, {Queue::global(), -1.0}};
    for (const auto& [queue, seconds] : cases) {
        vt::Event fired;
        std::shared_ptr<Queue> ranOn;
        const auto start = std::chrono::steady_clock::now();
        std::chrono::steady_clock::duration waited{};
        queue->after(seconds, [&] {
            waited = std::chrono::steady_clock::now() - start;
            ranOn = Queue::current();
            fired.signal();
        });
        ASSERT_TRUE(fired.wait()) << seconds;
        EXPECT_EQ(ranOn, queue);
        EXPECT_GE(std::chrono::duration<double>(waited).count(), std::max(0.0, seconds) - 0.001) << seconds;
    }
    auto queue = Queue::serial("order");
    std::vector<int> order;
    vt::Event done;
    queue->after(0.2, [&] {
        order.push_back(2);
        done.signal();
    });
    queue->after(0.01, [&] { order.push_back(1); });
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(MainQueue, TasksRunInOrderOnTheMainThreadWhenItsLoopRuns) {
    ASSERT_TRUE(isMainThread());
    auto main = Queue::main();
    std::vector<int> order;
    std::atomic<bool> offMain{false};
    std::thread poster([&] {
        EXPECT_FALSE(isMainThread());
        for (int i = 0; i < 100; ++i)
            main->async([&, i] {
                if (!isMainThread() || Queue::current() != main) offMain = true;
                order.push_back(i);
            });
    });
    poster.join();
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(vt::runMainLoopUntil([&] { return order.size() == 100; }));
    EXPECT_FALSE(offMain);
    EXPECT_EQ(order, upTo(100));

    // A task posted from the main thread runs on the next pass, not inline.
    bool later = false;
    main->async([&] { later = true; });
    EXPECT_FALSE(later);
    EXPECT_TRUE(vt::runMainLoopUntil([&] { return later; }));

    // sync to the main queue from another thread, served by the running loop.
    std::atomic<bool> synced{false};
    std::thread caller([&] {
        main->sync([] {});
        synced = true;
    });
    EXPECT_TRUE(vt::runMainLoopUntil([&] { return synced.load(); }));
    caller.join();
}

TEST(MainQueue, ATaskThatThrowsDoesNotLoseTheOthers) {
    auto main = Queue::main();
    std::vector<int> ran;
    main->async([&] { ran.push_back(1); });
    main->async([] { throw std::runtime_error("task failed"); });
    main->async([&] { ran.push_back(3); });
    bool threw = false;
    EXPECT_TRUE(vt::runMainLoopUntil([&] {
        try {
            pf::RunLoop::main().runUntil(pf::Date::now().addingSeconds(0.05));
        } catch (const std::runtime_error&) {
            threw = true;
        }
        return threw && ran.size() == 2;
    }));
    EXPECT_EQ(ran, (std::vector<int>{1, 3}));
}

} // namespace
