// The pool's growth and limits, each in a fresh child process of
// this program, so that the thread limit comes from readings the case sets
// and the pool starts empty. A role's exit status is its verdict.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "async/Pool.h"
#include "async/ThreadLimit.h"
#include "platform/system/Sysctl.h"
#include "tests/async/AsyncTestSupport.h"
#include "tests/support/ChildRole.h"

namespace {

using namespace VD::async;
using vt::async::submit;

const int kCap = static_cast<int>(pool_cap());

// Holds `count` tasks of q running until `release` is signalled; false when
// they did not all start.
bool occupy(queue& q, int count, vt::Event& release, std::atomic<int>& busy) {
    for (int i = 0; i < count; ++i)
        submit(q, [&] {
            ++busy;
            release.wait();
            --busy;
        });
    return vt::waitForCount(busy, count);
}

bool isBrokenPromise(std::future<void>& f) {
    try {
        f.get();
    } catch (const std::future_error& e) {
        return e.code() == std::future_errc::broken_promise;
    }
    return false;
}

// Three busy workers under a limit of 3, then arguments[0] more tasks; exits
// with the number of broken promises once a task runs again after release.
VT_CHILD_ROLE(limitThree) {
    pf::SysctlOverride limit("kern.wq_max_threads", pf::SysctlValue(std::int64_t{3}));
    queue q("test.limit", false, 0);
    vt::Event release;
    std::atomic<int> busy{0};
    if (!occupy(q, 3, release, busy)) return 200;
    std::vector<std::future<void>> extra;
    for (int i = 0; i < std::stoi(arguments.at(0)); ++i) extra.push_back(submit(q, [] {}));
    int broken = 0;
    for (auto& f : extra) broken += isBrokenPromise(f);
    release.signal();
    // Each failed attempt counts towards the fatal fifth failure, so the
    // blockers must have ended first; a worker still marking itself idle may
    // make one more attempt fail.
    if (!vt::waitUntil([&] { return busy == 0; })) return 202;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (auto f = submit(q, [] {}); !isBrokenPromise(f)) return broken;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 201;
}

// With cap workers busy, a background task waits while a normal one gets a
// new worker.
VT_CHILD_ROLE(backgroundDeferred) {
    queue normal("test.normal", false, 0), other("test.other", false, 0), bg("test.bg", false, -254);
    vt::Event release;
    std::atomic<int> busy{0};
    std::atomic<bool> bgRan{false}, bgRanFirst{true};
    if (!occupy(normal, kCap, release, busy)) return 200;
    auto bgDone = submit(bg, [&] { bgRan = true; });
    auto normalDone = submit(other, [&] { bgRanFirst = bgRan.load(); });
    const bool normalRan = normalDone.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    release.signal();
    return normalRan && bgDone.wait_for(std::chrono::seconds(10)) == std::future_status::ready && !bgRanFirst ? 0 : 201;
}

TEST(Pool, LimitsAndDeferral) {
    // 1000 tasks keep work pending once the first back-off lets them pile
    // up, and the fifth failure with work pending ends the process.
    const struct {
        const char* role;
        std::string argument;
        int exitStatus; // -1: ended by SIGABRT
        int reports;
    } rows[] = {{"limitThree", "2", 2, 2}, {"limitThree", "1000", -1, 5}, {"backgroundDeferred", "", 0, 0}};
    const std::string limitError = thread_limit_error().what();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.role + (" " + row.argument));
        // The child writes its reports to the streams it inherits.
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = vt::ChildRole(row.role, {row.argument}).wait();
        const std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
        const auto reports = vt::occurrences(out, "Exception @ 736: " + limitError + "\n");
        EXPECT_EQ(vt::occurrences(out, "Exception @"), reports);
        EXPECT_GE(reports, row.reports);
        if (row.exitStatus < 0) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
            EXPECT_EQ(err, limitError + "\n");
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == row.exitStatus) << status;
        }
    }
}

TEST(ThreadLimit, Rule) {
    struct Row {
        std::optional<std::uint32_t> wq, taskThreads;
        std::optional<rlim_t> nproc;
        std::uint32_t limit;
    } rows[] = {
        {64, 2048, 1000, 64},
        {std::nullopt, 2048, 1000, 1024},
        {std::nullopt, std::nullopt, 1000, 500},
        {std::nullopt, std::nullopt, RLIM_INFINITY, 0xffffffffu},
        {std::nullopt, std::nullopt, rlim_t{1} << 33, 128},  // its half truncates to 0
        {std::nullopt, std::nullopt, std::nullopt, 128},
        {0, 2048, 1000, 128},
    };
    for (const auto& r : rows) EXPECT_EQ(thread_limit_from(r.wq, r.taskThreads, r.nproc), r.limit);

    // The system's readings as the pool reads them.
    pf::SysctlOverride noWq("kern.wq_max_threads", std::nullopt);
    pf::SysctlOverride taskThreads("kern.num_taskthreads", pf::SysctlValue(std::int64_t{2048}));
    EXPECT_EQ(compute_thread_limit(), 1024u);
}

} // namespace
