// The daemon started by systemd's own socket-activation tool instead of the
// launcher, as the packaged socket unit starts it: the protocol as systemd
// speaks it (the socket passed with its name) reaches a serving daemon.
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/Daemon.h"

namespace {

TEST(SocketActivationE2E, TheDaemonTakesOverTheSocketAndServes) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string tool = "/usr/bin/systemd-socket-activate";
    if (::access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " is not installed (Debian package systemd)";
    vt::DaemonFixture f;
    f.startSocketActivated(tool);
    // "VDinstall" without a bundle: the install service's error reply.
    auto served = f.client({"install", f.path("nowhere")});
    EXPECT_EQ(served.status, 1) << served.out << served.err << f.log();
    EXPECT_NE(served.out.find("nil @ 24!"), std::string::npos) << served.out;
}

} // namespace
