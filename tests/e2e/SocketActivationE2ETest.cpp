// The daemon started by systemd's own socket-activation tool instead of the
// launcher: the protocol as systemd speaks it, and the confinement of the
// daemon the tool became. (Installing under the confinement is what every
// launcher-started daemon does.)
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/Daemon.h"

namespace {

TEST(SocketActivationE2E, TheDaemonTakesOverTheSocketAndServesConfined) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string tool = "/usr/bin/systemd-socket-activate";
    if (::access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " is not installed (Debian package systemd)";
    vt::DaemonFixture f;
    f.startSocketActivated(tool);
    // "VDinstall" without a bundle: the install service's error reply.
    auto served = f.client({"install", f.path("nowhere")});
    EXPECT_EQ(served.status, 1) << served.out << served.err << f.log();
    EXPECT_NE(served.out.find("nil @ 24!"), std::string::npos) << served.out;

    // The tool became the daemon (it execs in place), and the daemon serves
    // confined: the installer's capabilities and CAP_SYS_PTRACE (0x8001f),
    // no new privileges, a seccomp filter.
    const std::string status = vt::readFile("/proc/" + std::to_string(f.launcherPid()) + "/status");
    ASSERT_NE(status.find("com.vandrelsys."), std::string::npos) << status;
    for (const char* field : {"CapEff:\t000000000008001f\n", "CapPrm:\t000000000008001f\n",
                              "CapBnd:\t000000000008001f\n", "NoNewPrivs:\t1\n", "Seccomp:\t2\n"})
        EXPECT_NE(status.find(std::string("\n") + field), std::string::npos) << field << status;
}

} // namespace
