// vicar-launcher end to end: real launcher, real sockets, the test daemon of
// TestDaemon.h as the job.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/foundation/PropertyList.h"
#include "tests/launchd/LauncherProcess.h"
#include "tests/launchd/TestDaemon.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::Array;
using pf::Dictionary;
using pf::Value;
using vt::Fd;

std::string self() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

Array arrayOf(const std::vector<std::string>& strings) {
    Array out;
    for (const auto& s : strings) out.emplace_back(s);
    return out;
}

class LauncherTest : public ::testing::Test {
protected:
    LauncherTest() : jobs_("vicar-launcher-jobs"), services_("vicar-launcher-services"), scratch_("vicar-scratch") {}

    void writeJob(const std::string& label, Dictionary job) {
        job.emplace("Label", label);
        vt::writeFile(jobs_ / (label + ".plist"), *pf::xmlPropertyList(Value(job)));
    }

    // A job running the test daemon for one service of its own name.
    void writeTestJob(const std::string& label, const std::string& mode, Dictionary extra = {}) {
        extra.emplace("ProgramArguments", arrayOf(vt::testDaemonArguments(self(), mode, label, scratch_ / "marker")));
        extra.emplace("MachServices", Dictionary{{label, true}});
        extra.emplace("UserName", "root");
        extra.emplace("GroupName", "wheel");
        writeJob(label, std::move(extra));
    }

    std::unique_ptr<vt::LauncherProcess> start() {
        auto launcher = std::make_unique<vt::LauncherProcess>(
            std::vector<std::string>{vt::buildDir() + "/tools/vicar-launcher", "--jobs", jobs_.path(), "--domain",
                                     "system", "--foreground", "--ready-fd", "3"},
            std::map<std::string, std::string>{{"VICAR_SYSTEM_SERVICE_DIR", services_.path()},
                                               {"VICAR_TEST_INHERITED", "yes"}});
        return launcher;
    }

    std::string socketFile(const std::string& service) const { return services_ / (service + ".sock"); }
    int connect(const std::string& service) const { return vt::connectToService(services_.path(), service); }

    vt::TempDir jobs_;
    vt::TempDir services_;
    vt::TempDir scratch_;
};

TEST_F(LauncherTest, StartsOnDemandAgainAfterEachExitAndStopsCleanly) {
    const std::string label = "com.example.launcher.hello";
    writeTestJob(label, "hello", Dictionary{{"EnvironmentVariables", Dictionary{{"VICAR_TEST_GREETING", "bonjour"}}}});
    auto launcher = start();
    ASSERT_TRUE(launcher->waitReady()) << launcher->log();
    EXPECT_EQ(launcher->countInLog("started "), 0) << "started before any client came: " << launcher->log();

    Fd first(connect(label));
    ASSERT_GE(first.fd, 0);
    const auto hello1 = vt::readLine(first.fd);
    ASSERT_TRUE(hello1) << launcher->log();
    EXPECT_EQ(vt::helloField(*hello1, "listenpid"), "yes") << *hello1;
    EXPECT_EQ(vt::helloField(*hello1, "fds"), "1");
    EXPECT_EQ(vt::helloField(*hello1, "names"), label);
    EXPECT_EQ(vt::helloField(*hello1, "greeting"), "bonjour");
    EXPECT_EQ(vt::helloField(*hello1, "inherited"), "yes");
    EXPECT_EQ(vt::helloField(*hello1, "extra"), "none");
    const std::string pid1 = vt::helloField(*hello1, "pid");
    ASSERT_TRUE(launcher->waitForLog("started " + label + " (pid " + pid1 + "): client connected")) << launcher->log();

    // The first daemon serves one client only: the second waits in the
    // backlog while it leaves, and must be served by the next start.
    Fd second(connect(label));
    ASSERT_GE(second.fd, 0);
    first.close();
    ASSERT_TRUE(launcher->waitForLog(label + " (pid " + pid1 + ") exited with status 0")) << launcher->log();
    const auto hello2 = vt::readLine(second.fd);
    ASSERT_TRUE(hello2) << launcher->log();
    const std::string pid2 = vt::helloField(*hello2, "pid");
    EXPECT_NE(pid2, pid1);

    second.close();
    ASSERT_TRUE(launcher->waitForLog(label + " (pid " + pid2 + ") exited with status 0")) << launcher->log();
    Fd third(connect(label));
    const auto hello3 = vt::readLine(third.fd);
    ASSERT_TRUE(hello3) << launcher->log();
    const std::string pid3 = vt::helloField(*hello3, "pid");
    EXPECT_NE(pid3, pid2);
    // The job may greet before the launcher has logged its start.
    ASSERT_TRUE(launcher->waitForLog("started " + label + " (pid " + pid3 + ")")) << launcher->log();
    EXPECT_EQ(launcher->startedPids(label).size(), 3u) << launcher->log();

    // Stopping with a daemon running: it gets SIGTERM, the socket file goes.
    launcher->signal(SIGTERM);
    EXPECT_EQ(launcher->waitExit(), 0) << launcher->log();
    EXPECT_TRUE(launcher->waitForLog(label + " (pid " + pid3 + ") killed by signal 15 (SIGTERM)")) << launcher->log();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketFile(label))));
}

TEST_F(LauncherTest, ACrashIsLoggedAndTheWaitingClientIsServedByTheNextStart) {
    const std::string label = "com.example.launcher.crash-once";
    writeTestJob(label, "crash-once");
    auto launcher = start();
    ASSERT_TRUE(launcher->waitReady()) << launcher->log();
    Fd client(connect(label));
    const auto hello = vt::readLine(client.fd);
    ASSERT_TRUE(hello) << launcher->log();
    ASSERT_TRUE(launcher->waitForLog("started " + label, 2)) << launcher->log();
    const auto pids = launcher->startedPids(label);
    ASSERT_EQ(pids.size(), 2u) << launcher->log();
    EXPECT_EQ(vt::helloField(*hello, "pid"), std::to_string(pids[1]));
    EXPECT_TRUE(launcher->waitForLog(label + " (pid " + std::to_string(pids[0]) + ") killed by signal 6 (SIGABRT)"))
        << launcher->log();
    client.close();
    launcher->signal(SIGINT);
    EXPECT_EQ(launcher->waitExit(), 0) << launcher->log();
}

TEST_F(LauncherTest, AJobCrashingInALoopIsThrottledAndStillStops) {
    const std::string label = "com.example.launcher.crash";
    writeTestJob(label, "crash");
    auto launcher = start();
    ASSERT_TRUE(launcher->waitReady()) << launcher->log();
    Fd client(connect(label));
    ASSERT_TRUE(launcher->waitForLog(label + " failed 5 times in a row")) << launcher->log();
    EXPECT_GE(launcher->countInLog("killed by signal 6"), 5);
    launcher->signal(SIGTERM);
    EXPECT_EQ(launcher->waitExit(), 0) << launcher->log();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketFile(label))));
}

TEST_F(LauncherTest, AnUnsafeServiceFolderIsAFailedServiceCreation) {
    const std::string label = "com.example.launcher.unsafe";
    writeTestJob(label, "hello");
    ::chmod(services_.path().c_str(), 0777);
    auto launcher = start();
    EXPECT_FALSE(launcher->waitReady());
    EXPECT_EQ(launcher->waitExit(), 1) << launcher->log();
    EXPECT_EQ(launcher->countInLog("cannot create service " + label + " of " + label + ": "), 1) << launcher->log();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketFile(label))));
}

TEST_F(LauncherTest, UnusableJobsAreSkippedWithALineEachAndTheOthersServe) {
    writeTestJob("a.good", "hello");
    writeTestJob("b.unknown-user", "hello", Dictionary{{"UserName", "no-such-user-vicar"}});
    writeTestJob("c.unknown-group", "hello", Dictionary{{"GroupName", "no-such-group-vicar"}});
    writeTestJob("d.no-arguments", "hello", Dictionary{{"ProgramArguments", Array{}}});
    writeTestJob("e.relative", "hello", Dictionary{{"ProgramArguments", Array{"test_launchd"}}});
    writeTestJob("f.bad-type", "hello", Dictionary{{"TimeOut", "soon"}});
    writeTestJob("g.missing-program", "hello", Dictionary{{"ProgramArguments", Array{"/nonexistent/vicar-daemon"}}});
    auto launcher = start();
    ASSERT_TRUE(launcher->waitReady()) << launcher->log();
    for (const char* line : {"b.unknown-user: unknown user \"no-such-user-vicar\"; refusing to start the job",
                             "c.unknown-group: unknown group \"no-such-group-vicar\"; refusing to start the job",
                             "d.no-arguments: no \"ProgramArguments\"; the job is skipped",
                             "e.relative: \"ProgramArguments\" must begin with an absolute path",
                             "skipping job: f.bad-type.plist: \"TimeOut\" must be an integer"})
        EXPECT_EQ(launcher->countInLog(line), 1) << line << "\n" << launcher->log();
    for (const char* refused : {"b.unknown-user", "c.unknown-group", "d.no-arguments", "e.relative", "f.bad-type"})
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketFile(refused)))) << refused;

    Fd missing(connect("g.missing-program"));
    ASSERT_GE(missing.fd, 0);
    EXPECT_TRUE(launcher->waitForLog("could not start g.missing-program (pid ")) << launcher->log();
    EXPECT_TRUE(launcher->waitForLog("execv /nonexistent/vicar-daemon: No such file or directory")) << launcher->log();
    EXPECT_TRUE(launcher->waitForLog("exited with status 127")) << launcher->log();

    Fd good(connect("a.good"));
    EXPECT_TRUE(vt::readLine(good.fd)) << launcher->log();
    good.close();
    missing.close();
    launcher->signal(SIGTERM);
    EXPECT_EQ(launcher->waitExit(), 0) << launcher->log();
}

TEST_F(LauncherTest, SeveralServicesAreHandedOverInOrderToTheJobsUser) {
    // The daemon runs as nobody, so it must be able to reach its program.
    vt::TempDir bin("vicar-launcher-bin");
    ::chmod(bin.path().c_str(), 0755);
    const std::string program = bin / "test_launchd";
    std::filesystem::copy_file(self(), program);
    ::chmod(program.c_str(), 0755);
    const std::string label = "com.example.launcher.two";
    writeJob(label, Dictionary{{"ProgramArguments", arrayOf(vt::testDaemonArguments(program, "hello", "two.b"))},
                               {"MachServices", Dictionary{{"two.a", true}, {"two.b", Dictionary{}}}},
                               {"UserName", "nobody"},
                               {"GroupName", "nogroup"}});
    auto launcher = start();
    ASSERT_TRUE(launcher->waitReady()) << launcher->log();
    Fd client(connect("two.b"));
    const auto hello = vt::readLine(client.fd);
    ASSERT_TRUE(hello) << launcher->log();
    EXPECT_EQ(vt::helloField(*hello, "fds"), "2");
    EXPECT_EQ(vt::helloField(*hello, "names"), "two.a:two.b");
    EXPECT_EQ(vt::helloField(*hello, "uid"), "65534");
    EXPECT_EQ(vt::helloField(*hello, "gid"), "65534");
    EXPECT_EQ(vt::helloField(*hello, "extra"), "none");
    client.close();
    launcher->signal(SIGTERM);
    EXPECT_EQ(launcher->waitExit(), 0) << launcher->log();
}

} // namespace
