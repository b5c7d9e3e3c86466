// Serial, global and main queues; the global pool's growth and hand-off.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <mutex>
#include <memory>
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

// Keeps the calling thread busy, as a computing task does.
void pauseFor(std::chrono::microseconds pause) {
    const auto until = std::chrono::steady_clock::now() + pause;
    while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
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
        constexpr int kTasks = 1000; // many batches
        std::vector<int> order;
        std::atomic<int> inFlight{0};
        std::atomic<bool> overlapped{false};
        vt::Event done;
        for (int i = 0; i < kTasks; ++i)
            queue->async([&, i] {
                if (inFlight.fetch_add(1) != 0) overlapped = true;
                order.push_back(i);
                inFlight.fetch_sub(1);
                if (i == kTasks - 1) done.signal();
            });
        ASSERT_TRUE(done.wait());
        EXPECT_FALSE(overlapped);
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
        for (int i = 0; i < blockedTasks; ++i)
            Queue::global(i % 2 ? Priority::Default : Priority::Low)->async([&] {
                ++started;
                if (release.wait(30s)) ++finished;
            });
        // Every blocked task gets a thread of its own, and a task submitted
        // after them, which they wait for, still runs.
        EXPECT_TRUE(waitForCount(started, blockedTasks)) << blockedTasks << " started " << started;
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
    for (int i = 0; i < kTasks; ++i)
        Queue::global()->async([&] {
            pauseFor(200ms);
            std::lock_guard lock(mutex);
            threads.insert(static_cast<pid_t>(::syscall(SYS_gettid)));
            ++done;
        });
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

// Queues the next link until `left` runs out; the last one counts `done`.
void chain(std::shared_ptr<Queue> queue, std::atomic<int>* left, std::atomic<int>* done,
           std::chrono::microseconds pause) {
    queue->async([=] {
        pauseFor(pause);
        if (left->fetch_sub(1) > 1) chain(queue, left, done, pause);
        else done->fetch_add(1);
    });
}

// A worker that just finished a task looks for the next one a moment before
// it sleeps, and a task queued while one looks is not announced by a
// wake-up. Tasks queued around the end of that moment, from inside the pool
// and from outside, must all run.
TEST(GlobalQueue, NoTaskIsLostAroundTheLookBeforeSleep) {
    constexpr int kRounds = 300;
    for (const auto pause : {0us, 10us, 40us, 50us, 60us, 200us}) {
        SCOPED_TRACE(pause.count());
        // From outside: each task is queued `pause` after the previous one ended.
        for (int round = 0; round < kRounds; ++round) {
            auto ran = std::make_shared<vt::Event>();
            Queue::global()->async([ran] { ran->signal(); });
            ASSERT_TRUE(ran->wait(5s)) << "round " << round;
            pauseFor(pause);
        }
        // From inside: a chain through a serial queue, each link queued by
        // the task before it after the pause, on two queues at once.
        std::atomic<int> left[2] = {kRounds, kRounds}, chainsDone{0};
        chain(Queue::serial("chain.a"), &left[0], &chainsDone, pause);
        chain(Queue::serial("chain.b"), &left[1], &chainsDone, pause);
        ASSERT_TRUE(vt::waitForCount(chainsDone, 2, 10s));
    }
}

// A task queued from a pool task is left for that task's worker to take
// next; a submitter that then waits for it instead must not wait forever,
// whether the pool's watcher is looking (at once) or asleep (after a quiet
// spell), and Queue::sync from inside the pool never waits on itself.
TEST(GlobalQueue, ATaskLeftForItsSubmitterRunsWhileTheSubmitterWaitsForIt) {
    for (const auto quiet : {0ms, 400ms}) {
        SCOPED_TRACE(quiet.count());
        std::this_thread::sleep_for(quiet);
        std::atomic<int> ran{0};
        vt::Event verdict;
        std::atomic<bool> ok{false};
        Queue::global()->async([&] {
            Queue::global()->async([&] { ++ran; });
            const bool left = waitForCount(ran, 1, 10s);
            Queue::serial("inner")->sync([&] { ++ran; });
            ok = left && ran == 2;
            verdict.signal();
        });
        ASSERT_TRUE(verdict.wait(30s));
        EXPECT_TRUE(ok);
    }
}

TEST(Queue, AfterRunsOnTheQueueNoEarlierThanAskedAndInDeadlineOrder) {
    auto queue = Queue::serial("order");
    std::vector<int> order;
    std::atomic<bool> wrongQueue{false};
    vt::Event done;
    const auto start = std::chrono::steady_clock::now();
    queue->after(0.2, [&] {
        order.push_back(2);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 199ms);
        done.signal();
    });
    queue->after(0.01, [&] {
        order.push_back(1);
        if (Queue::current() != queue) wrongQueue = true;
    });
    queue->after(-1.0, [&] { order.push_back(0); }); // a past deadline runs at once
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_FALSE(wrongQueue);
}

TEST(MainQueue, TasksRunInOrderOnTheMainThreadAndOneThatThrowsLosesNoOther) {
    auto main = Queue::main();
    std::vector<int> order;
    std::atomic<bool> offMain{false};
    std::thread poster([&] {
        EXPECT_EQ(Queue::current(), nullptr); // a plain thread runs no queue's task
        for (int i = 0; i < 100; ++i)
            main->async([&, i] {
                if (!isMainThread() || Queue::current() != main) offMain = true;
                order.push_back(i);
            });
    });
    poster.join();
    main->async([] { throw std::runtime_error("task failed"); });
    main->async([&] { order.push_back(100); });
    EXPECT_TRUE(order.empty()); // nothing runs, not even what the main thread posts, until its loop runs
    bool threw = false;
    EXPECT_TRUE(vt::runMainLoopUntil([&] {
        try {
            pf::RunLoop::main().runUntil(pf::Date::now().addingSeconds(0.05));
        } catch (const std::runtime_error&) {
            threw = true;
        }
        return threw && order.size() == 101;
    }));
    EXPECT_FALSE(offMain);
    EXPECT_EQ(order, upTo(101));
}

} // namespace
