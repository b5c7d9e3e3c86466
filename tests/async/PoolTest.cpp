// The pool's growth, limits and shrinking, each in a fresh child process of
// this program so that the thread limit is computed from readings the case
// sets and the pool starts empty.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "async/Pool.h"
#include "async/Queue.h"
#include "async/ThreadLimit.h"
#include "platform/system/Sysctl.h"
#include "tests/async/AsyncTestSupport.h"
#include "tests/support/ChildRole.h"

namespace {

using namespace VD::async;
using vt::async::eventually;

constexpr const char* kWorkerName = "VD::async::work";

std::future<void> submit(queue& q, std::function<void()> body) {
    task t(std::move(body));
    auto future = t.get_future();
    q.submit(std::move(t));
    return future;
}

bool isBrokenPromise(std::future<void>& f) {
    try {
        f.get();
    } catch (const std::future_error& e) {
        return e.code() == std::future_errc::broken_promise;
    }
    return false;
}

// Three pool workers, all held busy, under a thread limit of 3; then
// arguments[0] more normal tasks. Exit status: broken promises seen.
VT_CHILD_ROLE(limitThree) {
    pf::SysctlOverride limit("kern.wq_max_threads", pf::SysctlValue(std::int64_t{3}));
    queue q("test.limit", false, 0);
    vt::Event release;
    std::atomic<int> busy{0};
    for (int i = 0; i < 3; ++i)
        submit(q, [&] {
            ++busy;
            release.wait();
        });
    if (!vt::waitForCount(busy, 3)) return 100;
    std::vector<std::future<void>> extra;
    for (int i = 0; i < std::stoi(arguments.at(0)); ++i) extra.push_back(submit(q, [] {}));
    int broken = 0;
    for (auto& f : extra) broken += isBrokenPromise(f);
    release.signal();
    // Still working once workers are free again (a worker still finishing
    // its blocker may make one more attempt hit the limit).
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto f = submit(q, [] {});
        if (f.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return 101;
        if (!isBrokenPromise(f)) return broken;
    }
    return 102;
}

TEST(Pool, ThreadLimitOfThree) {
    struct Row {
        int extraTasks;
        // A fifth failure with work still pending ends the process; so many
        // tasks keep work pending once the first back-off lets them pile up.
        bool terminated;
    } rows[] = {{2, false}, {1000, true}};
    const std::string limitError = thread_limit_error().what();
    for (const auto& row : rows) {
        vt::TempDir dir;
        const std::string out = dir / "out", err = dir / "err";
        int status;
        {
            vt::async::Redirect redirect(out, err);
            vt::ChildRole child("limitThree", {std::to_string(row.extraTasks)});
            redirect.restore();
            status = child.wait();
        }
        const auto reports = vt::async::linesStartingWith(vt::readFile(out), "Exception @");
        if (row.terminated) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
            EXPECT_EQ(vt::readFile(err), limitError + "\n");
            EXPECT_GE(reports.size(), 5u);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == row.extraTasks) << status;
            EXPECT_GE(reports.size(), 2u);
        }
        for (const auto& line : reports) EXPECT_EQ(line, "Exception @ 736: " + limitError);
    }
}

// Exit status 0 when a background task waited while cap workers were busy
// and a normal task meanwhile got a new worker.
VT_CHILD_ROLE(backgroundDeferred) {
    queue normal("test.normal", false, 0), other("test.other", false, 0), bg("test.bg", false, -254);
    vt::Event release;
    std::atomic<int> busy{0};
    std::atomic<bool> bgRan{false};
    for (unsigned i = 0; i < pool_cap(); ++i)
        submit(normal, [&] {
            ++busy;
            release.wait();
        });
    if (!vt::waitForCount(busy, static_cast<int>(pool_cap()))) return 100;
    auto bgDone = submit(bg, [&] { bgRan = true; });
    bool bgRanBeforeNormal = true;
    auto normalDone = submit(other, [&] { bgRanBeforeNormal = bgRan.load(); });
    if (normalDone.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return 101;
    release.signal();
    if (bgDone.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return 102;
    return bgRanBeforeNormal ? 103 : 0;
}

// Grows the pool to cap + 2 workers, then lets quiet passes shrink it.
// Exit status 0 when it came back to cap and stayed there.
VT_CHILD_ROLE(retirement) {
    queue q("test.burst", false, 0);
    const int grown = static_cast<int>(pool_cap()) + 2;
    std::atomic<int> arrived{0};
    for (int i = 0; i < grown; ++i)
        submit(q, [&] {
            ++arrived;
            vt::waitForCount(arrived, grown);
        });
    if (!vt::waitForCount(arrived, grown)) return 100;
    auto workers = [] { return static_cast<int>(vt::async::countThreadsNamed(kWorkerName)); };
    // Each wait posts one pass; each quiet pass retires at most one worker.
    for (int pass = 0; pass < 50 && workers() > static_cast<int>(pool_cap()); ++pass) q.wait();
    for (int pass = 0; pass < 3; ++pass) q.wait();
    return eventually([&] { return workers() == static_cast<int>(pool_cap()); }) ? 0 : 101;
}

TEST(Pool, BackgroundDeferralAndRetirement) {
    for (const char* role : {"backgroundDeferred", "retirement"}) {
        vt::ChildRole child(role);
        const int status = child.wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << role << " status " << status;
    }
}

TEST(ThreadLimit, Rule) {
    constexpr rlim_t kTwoTo33 = rlim_t{1} << 33;
    struct Row {
        std::optional<std::uint32_t> wq, taskThreads;
        std::optional<rlim_t> nproc;
        std::uint32_t limit;
    } rows[] = {
        {64, 2048, 1000, 64},
        {std::nullopt, 2048, 1000, 1024},
        {std::nullopt, std::nullopt, 1000, 500},
        {std::nullopt, std::nullopt, RLIM_INFINITY, 0xffffffffu},
        {std::nullopt, std::nullopt, kTwoTo33, 128},  // half of it truncates to 0
        {std::nullopt, std::nullopt, std::nullopt, 128},
        {0, 2048, 1000, 128},
    };
    for (const auto& r : rows) EXPECT_EQ(thread_limit_from(r.wq, r.taskThreads, r.nproc), r.limit);

    // The same rule over the system's readings as the pool computes it.
    pf::SysctlOverride noWq("kern.wq_max_threads", std::nullopt);
    pf::SysctlOverride taskThreads("kern.num_taskthreads", pf::SysctlValue(std::int64_t{2048}));
    EXPECT_EQ(compute_thread_limit(), 1024u);
    pf::SysctlOverride noTaskThreads("kern.num_taskthreads", std::nullopt);
    rlimit r{};
    ASSERT_EQ(::getrlimit(RLIMIT_NPROC, &r), 0);
    EXPECT_EQ(compute_thread_limit(), thread_limit_from(std::nullopt, std::nullopt, r.rlim_max));
}

} // namespace
