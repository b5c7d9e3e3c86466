// The daemon as an on-demand service: started by the launcher on the first
// connection, serving, rejecting bad seals, leaving when idle, started again.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "server/Seal.h"
#include "tests/e2e/Daemon.h"

namespace {

constexpr const char* kService = "com.vandrelsys.VolumeSmith.vicar";

class JobServerE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    }
};

TEST_F(JobServerE2E, StartedOnDemandServesAndLeavesWhenIdle) {
    vt::DaemonFixture f({.timeOut = 2, .daemonProgramArguments = std::nullopt});
    f.startLauncher();
    EXPECT_TRUE(f.daemonPids().empty()) << "started before any client connected";

    // A registered type: "VDinstall" without "VDurl" is answered with -1015.
    auto first = f.client({"install", f.path("nowhere")});
    EXPECT_EQ(first.status, 1) << first.err << f.log();
    ASSERT_EQ(f.daemonPids().size(), 1u) << f.log();

    ASSERT_TRUE(f.waitForLog("exited with status 0")) << f.log();
    auto second = f.client({"install", f.path("nowhere")});
    EXPECT_EQ(second.status, 1) << second.err;
    const auto pids = f.daemonPids();
    ASSERT_EQ(pids.size(), 2u) << f.log();
    EXPECT_NE(pids[0], pids[1]);
}

TEST_F(JobServerE2E, EnvelopesWithBadSealsAreRejected) {
    vt::DaemonFixture f;
    f.startLauncher();
    struct Case {
        const char* name;
        std::string hookName; // empty: the client seals nothing
        std::string logLine;  // what the daemon does with the one-way request
    };
    // A wrongly sealed envelope is rejected; one without any seal is taken
    // as it is (the request then fails its own checks).
    for (const auto& c : std::vector<Case>{{"another service's seal", "com.example.other", "ipc: failed to decode message"},
                                           {"no seal at all", "", "Exception: nil @ 21!"}}) {
        SCOPED_TRACE(c.name);
        const int before = f.countInLog(c.logLine);
        const int status = vt::runInChild([&] {
            ::setenv("VICAR_SYSTEM_SERVICE_DIR", f.path("services").c_str(), 1);
            auto connection = VDIPCConnection::connectionWithXPCServiceName(kService, true);
            if (!connection) return 10;
            if (!c.hookName.empty()) connection->setAerrorHandler(VDSealHook(c.hookName));
            // Sending happens off this thread, so stay until it has landed.
            connection->sendMessage(VDIPCMessage::messageWithType("VDinstall"));
            return f.waitForLog(c.logLine, before + 1) ? 0 : 11;
        });
        EXPECT_EQ(WEXITSTATUS(status), 0) << f.log();
        // The daemon keeps serving properly sealed requests.
        auto ok = f.client({"install", f.path("nowhere")});
        EXPECT_EQ(ok.status, 1) << ok.err;
        EXPECT_NE(ok.out.find("nil @ 24!"), std::string::npos) << ok.out;
    }
}

TEST_F(JobServerE2E, RemoveSelfDeletesTheExecutableFromItsJobAndExits) {
    struct Case {
        const char* name;
        std::optional<pf::Array> daemonProgramArguments;
        bool removed;
    };
    for (const auto& c : std::vector<Case>{{"its own job", std::nullopt, true}, {"no ProgramArguments", pf::Array{}, false}}) {
        SCOPED_TRACE(c.name);
        vt::DaemonFixture f({.timeOut = 30, .daemonProgramArguments = c.daemonProgramArguments});
        f.startLauncher();
        auto result = f.client({"remove-self"});
        EXPECT_EQ(result.status, 0) << result.err << f.log();
        ASSERT_TRUE(f.waitForLog("exited with status 0")) << f.log();
        EXPECT_EQ(std::filesystem::exists(f.daemonPath()), !c.removed);
        if (!c.removed) {
            EXPECT_TRUE(f.waitForLog("could not find job path, removeSelf failed!")) << f.log();
        }
    }
}

} // namespace
