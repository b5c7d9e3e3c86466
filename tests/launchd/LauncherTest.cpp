// vicar-launcher end to end: real launcher, real sockets, the test daemon of
// TestDaemon.cpp as the job.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/foundation/PropertyList.h"
#include "platform/system/UniqueFd.h"
#include "tests/launchd/LauncherProcess.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using pf::Array;
using pf::Dictionary;
using pf::UniqueFd;

std::string self() { return fs::read_symlink("/proc/self/exe").string(); }

Array testDaemon(const std::string& program, const std::string& mode, const std::string& service,
                 const std::string& marker = "/nonexistent") {
    return Array{program, "--as-test-daemon", mode, service, marker};
}

// The value of `key=` in the test daemon's hello line, or "".
std::string helloField(const std::string& line, const std::string& key) {
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    const size_t from = at + key.size() + 2;
    return line.substr(from, line.find(' ', from) - from);
}

class LauncherTest : public ::testing::Test {
protected:
    void writeJob(const std::string& label, Dictionary job) {
        job.emplace("Label", label);
        vt::writeFile(jobs_ / (label + ".plist"), *pf::xmlPropertyList(job));
    }

    // A job running the test daemon for one service of its own name.
    void writeTestJob(const std::string& label, const std::string& mode, Dictionary extra = {}) {
        extra.emplace("ProgramArguments", testDaemon(self(), mode, label, scratch_ / "marker"));
        extra.emplace("MachServices", Dictionary{{label, true}});
        extra.emplace("UserName", "root");
        extra.emplace("GroupName", "wheel");
        writeJob(label, std::move(extra));
    }

    // Starts the launcher; unless the test expects it to fail, waits until it is ready.
    vt::LauncherProcess& start(bool expectReady = true) {
        launcher_ = std::make_unique<vt::LauncherProcess>(
            std::vector<std::string>{vt::buildDir() + "/tools/vicar-launcher", "--jobs", jobs_.path(), "--domain",
                                     "system", "--foreground", "--ready-fd", "3"},
            std::map<std::string, std::string>{{"VICAR_SYSTEM_SERVICE_DIR", services_.path()},
                                               {"VICAR_TEST_INHERITED", "yes"}});
        if (expectReady) {
            EXPECT_TRUE(launcher_->waitReady()) << launcher_->log();
        }
        return *launcher_;
    }

    void stop(int sig = SIGTERM) {
        launcher_->signal(sig);
        EXPECT_EQ(launcher_->waitExit(), 0) << launcher_->log();
    }

    bool waitForLog(const std::string& fragment, int count = 1) {
        const bool seen = launcher_->waitForLog(fragment, count);
        EXPECT_TRUE(seen) << "no \"" << fragment << "\" in:\n" << launcher_->log();
        return seen;
    }

    bool socketExists(const std::string& service) const {
        return fs::exists(fs::symlink_status(services_ / (service + ".sock")));
    }
    UniqueFd connect(const std::string& service) const {
        UniqueFd fd(vt::connectToService(services_.path(), service));
        EXPECT_TRUE(fd) << "cannot connect to " << service;
        return fd;
    }
    std::string hello(const UniqueFd& client) const {
        const auto line = vt::readLine(client.get());
        EXPECT_TRUE(line) << "no hello; launcher log:\n" << launcher_->log();
        return line.value_or("");
    }

    vt::TempDir jobs_{"vicar-launcher-jobs"}, services_{"vicar-launcher-services"}, scratch_{"vicar-scratch"};
    std::unique_ptr<vt::LauncherProcess> launcher_;
};

TEST_F(LauncherTest, StartsOnDemandAgainAfterEachExitAndStopsCleanly) {
    const std::string label = "com.example.launcher.hello";
    writeTestJob(label, "hello", Dictionary{{"EnvironmentVariables", Dictionary{{"VICAR_TEST_GREETING", "bonjour"}}}});
    auto& launcher = start();
    EXPECT_EQ(launcher.countInLog("started "), 0) << "started before any client came: " << launcher.log();

    UniqueFd first = connect(label);
    const std::string hello1 = hello(first);
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"listenpid", "yes"}, {"fds", "1"}, {"names", label}, {"greeting", "bonjour"}, {"inherited", "yes"},
             {"extra", "none"}})
        EXPECT_EQ(helloField(hello1, key), value) << key << " in " << hello1;
    const std::string pid1 = helloField(hello1, "pid");
    ASSERT_TRUE(waitForLog("started " + label + " (pid " + pid1 + "): client connected"));

    // The first daemon serves one client only: the second waits in the
    // backlog while it leaves, and must be served by the next start.
    UniqueFd second = connect(label);
    first.reset();
    ASSERT_TRUE(waitForLog(label + " (pid " + pid1 + ") exited with status 0"));
    const std::string pid2 = helloField(hello(second), "pid");
    EXPECT_NE(pid2, pid1);

    // After an exit with no client waiting, a new client starts it again.
    second.reset();
    ASSERT_TRUE(waitForLog(label + " (pid " + pid2 + ") exited with status 0"));
    UniqueFd third = connect(label);
    const std::string pid3 = helloField(hello(third), "pid");
    EXPECT_NE(pid3, pid2);
    // The job may greet before the launcher has logged its start.
    ASSERT_TRUE(waitForLog("started " + label + " (pid " + pid3 + ")"));
    EXPECT_EQ(launcher.startedPids(label).size(), 3u) << launcher.log();

    // Stopping with a daemon running: it gets SIGTERM, the socket file goes.
    stop();
    waitForLog(label + " (pid " + pid3 + ") killed by signal 15 (SIGTERM)");
    EXPECT_FALSE(socketExists(label));
}

TEST_F(LauncherTest, CrashesAreLoggedTheWaitingClientServedAndACrashLoopThrottled) {
    const std::string once = "com.example.launcher.crash-once", loop = "com.example.launcher.crash";
    writeTestJob(once, "crash-once");
    writeTestJob(loop, "crash");
    auto& launcher = start();
    UniqueFd client = connect(once), looping = connect(loop);
    const std::string line = hello(client);
    ASSERT_TRUE(waitForLog("started " + once, 2));
    const auto pids = launcher.startedPids(once);
    ASSERT_EQ(pids.size(), 2u) << launcher.log();
    EXPECT_EQ(helloField(line, "pid"), std::to_string(pids[1]));
    waitForLog(once + " (pid " + std::to_string(pids[0]) + ") killed by signal 6 (SIGABRT)");
    client.reset();

    ASSERT_TRUE(waitForLog(loop + " failed 5 times in a row"));
    EXPECT_GE(launcher.countInLog("killed by signal 6"), 6);
    stop(SIGINT);
    EXPECT_FALSE(socketExists(loop));
}

TEST_F(LauncherTest, AnUnsafeServiceFolderIsAFailedServiceCreation) {
    const std::string label = "com.example.launcher.unsafe";
    writeTestJob(label, "hello");
    ::chmod(services_.path().c_str(), 0777);
    auto& launcher = start(false);
    EXPECT_FALSE(launcher.waitReady());
    EXPECT_EQ(launcher.waitExit(), 1) << launcher.log();
    EXPECT_EQ(launcher.countInLog("cannot create service " + label + " of " + label + ": "), 1) << launcher.log();
    EXPECT_FALSE(socketExists(label));
}

TEST_F(LauncherTest, UnusableJobsAreSkippedWithALineEachAndTheOthersServeAsTheirUser) {
    // This job runs as nobody, so it must be able to reach its program.
    vt::TempDir bin("vicar-launcher-bin");
    ::chmod(bin.path().c_str(), 0755);
    const std::string program = bin / "test_launchd";
    fs::copy_file(self(), program);
    ::chmod(program.c_str(), 0755);
    writeJob("a.two-services",
             Dictionary{{"ProgramArguments", testDaemon(program, "hello", "two.b")},
                        {"MachServices", Dictionary{{"two.a", true}, {"two.b", Dictionary{}}}},
                        {"UserName", "nobody"},
                        {"GroupName", "nogroup"}});
    writeTestJob("b.unknown-user", "hello", Dictionary{{"UserName", "no-such-user-vicar"}});
    writeTestJob("c.unknown-group", "hello", Dictionary{{"GroupName", "no-such-group-vicar"}});
    writeTestJob("d.no-arguments", "hello", Dictionary{{"ProgramArguments", Array{}}});
    writeTestJob("e.relative", "hello", Dictionary{{"ProgramArguments", Array{"test_launchd"}}});
    writeTestJob("f.bad-type", "hello", Dictionary{{"TimeOut", "soon"}});
    writeTestJob("g.missing-program", "hello", Dictionary{{"ProgramArguments", Array{"/nonexistent/vicar-daemon"}}});
    auto& launcher = start();
    for (const char* line : {"b.unknown-user: unknown user \"no-such-user-vicar\"; refusing to start the job",
                             "c.unknown-group: unknown group \"no-such-group-vicar\"; refusing to start the job",
                             "d.no-arguments: no \"ProgramArguments\"; the job is skipped",
                             "e.relative: \"ProgramArguments\" must begin with an absolute path",
                             "skipping job: f.bad-type.plist: \"TimeOut\" must be an integer"})
        EXPECT_EQ(launcher.countInLog(line), 1) << line << "\n" << launcher.log();
    for (const char* refused : {"b.unknown-user", "c.unknown-group", "d.no-arguments", "e.relative", "f.bad-type"})
        EXPECT_FALSE(socketExists(refused)) << refused;

    UniqueFd missing = connect("g.missing-program");
    waitForLog("could not start g.missing-program (pid ");
    waitForLog("execv /nonexistent/vicar-daemon: No such file or directory");
    waitForLog("exited with status 127");
    // Both services are handed over, in order, to a daemon of the job's user.
    UniqueFd client = connect("two.b");
    const std::string line = hello(client);
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"fds", "2"}, {"names", "two.a:two.b"}, {"uid", "65534"}, {"gid", "65534"}, {"extra", "none"}})
        EXPECT_EQ(helloField(line, key), value) << key << " in " << line;
    client.reset();
    missing.reset();
    stop();
}

} // namespace
