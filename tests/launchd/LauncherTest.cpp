// vicar-launcher end to end: real launcher, real sockets, the test daemon of
// TestDaemon.cpp as the job.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/launchd/LauncherFixture.h"

namespace {

using pf::Array;
using pf::Dictionary;
using pf::UniqueFd;
using LauncherTest = vt::LauncherFixture;

TEST_F(LauncherTest, StartsOnDemandAgainAfterEachExitAndStopsCleanly) {
    const std::string label = "com.example.launcher.hello";
    writeTestJob(label, "hello", Dictionary{{"EnvironmentVariables", Dictionary{{"VICAR_TEST_GREETING", "bonjour"}}}});
    ASSERT_TRUE(start()) << log();
    EXPECT_EQ(countInLog("started "), 0) << "started before any client came: " << log();

    UniqueFd first = connect(label);
    const std::string hello1 = hello(first);
    for (const auto& [key, value] : std::map<std::string, std::string>{{"greeting", "bonjour"}, {"inherited", "yes"}})
        EXPECT_EQ(vt::helloField(hello1, key), value) << key << " in " << hello1;
    const std::string pid1 = vt::helloField(hello1, "pid");
    ASSERT_TRUE(waitForLog("started " + label + " (pid " + pid1 + "): client connected"));

    // The first daemon serves one client only: the second waits in the
    // backlog while it leaves, and must be served by the next start.
    UniqueFd second = connect(label);
    first.reset();
    ASSERT_TRUE(waitForLog(label + " (pid " + pid1 + ") exited with status 0"));
    const std::string pid2 = vt::helloField(hello(second), "pid");
    // The job may greet before the launcher has logged its start.
    ASSERT_TRUE(waitForLog("started " + label + " (pid " + pid2 + ")"));
    EXPECT_EQ(countInLog("started " + label), 2) << log();

    // Stopping with a daemon running: it gets SIGTERM, the socket file goes.
    EXPECT_EQ(waitExit(SIGTERM), 0) << log();
    waitForLog(label + " (pid " + pid2 + ") killed by signal 15 (SIGTERM)");
    EXPECT_FALSE(socketExists(label));
}

TEST_F(LauncherTest, AnUnsafeServiceFolderIsAFailedServiceCreation) {
    const std::string label = "com.example.launcher.unsafe";
    writeTestJob(label, "hello");
    ::chmod(services_.path().c_str(), 0777);
    EXPECT_FALSE(start());
    EXPECT_EQ(waitExit(), 1) << log();
    EXPECT_EQ(countInLog("cannot create service " + label + " of " + label + ": "), 1) << log();
    EXPECT_FALSE(socketExists(label));
}

TEST_F(LauncherTest, UnusableJobsAreSkippedCrashesLoggedAndTheOthersServeAsTheirUser) {
    // This job runs as nobody, so it must be able to reach its program.
    ::chmod(scratch_.path().c_str(), 0755);
    const std::string program = scratch_ / "test_launchd";
    std::filesystem::copy_file(vt::self(), program);
    ::chmod(program.c_str(), 0755);
    writeJob("a.two-services",
             Dictionary{{"ProgramArguments", Array{program, "--as-test-daemon", "hello", "two.b", "-"}},
                        {"MachServices", Dictionary{{"two.a", true}, {"two.b", Dictionary{}}}},
                        {"UserName", "nobody"},
                        {"GroupName", "nogroup"}});
    writeTestJob("b.unknown-user", "hello", Dictionary{{"UserName", "no-such-user-vicar"}});
    writeTestJob("d.no-arguments", "hello", Dictionary{{"ProgramArguments", Array{}}});
    writeTestJob("e.relative", "hello", Dictionary{{"ProgramArguments", Array{"test_launchd"}}});
    writeTestJob("g.missing-program", "hello", Dictionary{{"ProgramArguments", Array{"/nonexistent/vicar-daemon"}}});
    const std::string once = "h.crash-once", loop = "i.failing";
    writeTestJob(once, "crash-once");
    writeTestJob(loop, "fail");
    ASSERT_TRUE(start()) << log();
    for (const char* line : {"b.unknown-user: unknown user \"no-such-user-vicar\"; refusing to start the job",
                             "d.no-arguments: no \"ProgramArguments\"; the job is skipped",
                             "e.relative: \"ProgramArguments\" must begin with an absolute path"})
        EXPECT_EQ(countInLog(line), 1) << line << "\n" << log();
    for (const char* refused : {"b.unknown-user", "d.no-arguments", "e.relative"})
        EXPECT_FALSE(socketExists(refused)) << refused;

    UniqueFd missing = connect("g.missing-program");
    waitForLog("execv /nonexistent/vicar-daemon: No such file or directory");
    // A crash is logged, and the client waiting all along is served by the next start.
    UniqueFd client = connect(once), looping = connect(loop);
    const std::string pid = vt::helloField(hello(client), "pid");
    ASSERT_TRUE(waitForLog("started " + once, 2));
    EXPECT_EQ(countInLog("started " + once + " (pid " + pid + ")"), 1) << log();
    ASSERT_TRUE(waitForLog(loop + " failed 5 times in a row"));
    EXPECT_EQ(countInLog(") killed by signal 6 (SIGABRT)"), 1);
    // Both services are handed over, in order, to a daemon of the job's user.
    UniqueFd twoB = connect("two.b");
    const std::string line = hello(twoB);
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"fds", "2"}, {"names", "two.a:two.b"}, {"uid", "65534"}, {"gid", "65534"}, {"extra", "none"}})
        EXPECT_EQ(vt::helloField(line, key), value) << key << " in " << line;
    EXPECT_EQ(waitExit(SIGINT), 0) << log();
}

} // namespace
