// The daemon started by systemd's own socket-activation tool instead of the
// launcher: the protocol as systemd speaks it, a signed bundle installed and
// uninstalled through it, and the confinement of the daemon it became.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/Daemon.h"
#include "tests/support/BomBuilder.h"

namespace {

namespace fs = std::filesystem;

// The value of a "Name:\tvalue" line of /proc/PID/status.
std::string statusField(const std::string& status, const std::string& name) {
    const std::size_t at = ("\n" + status).find("\n" + name + ":");
    if (at == std::string::npos) return {};
    const std::size_t start = status.find_first_not_of(" \t", at + name.size() + 1);
    return status.substr(start, status.find('\n', start) - start);
}

TEST(SocketActivationE2E, ASignedBundleIsInstalledAndUninstalledThroughAConfinedDaemon) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string tool = vt::programOnPath("systemd-socket-activate");
    if (tool.empty()) GTEST_SKIP() << "systemd-socket-activate is not installed (Debian package systemd)";
    vt::DaemonFixture f;
    f.startSocketActivated(tool);
    const std::string bundle =
        f.makeBundle("Activated.app", {{"Contents/Resources/tool", "#!/bin/sh\n"}},
                     vt::bom({vt::bomEntry("", "/opt/Activated", "755"),
                              vt::bomEntry("Contents/Resources/tool", "/opt/Activated/tool", "0750")},
                             {vt::bomRemoval(f.rootPath() + "/opt/Activated")}));

    auto installed = f.install(bundle);
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err << f.log();
    EXPECT_TRUE(fs::exists(f.rootPath() + "/opt/Activated/tool"));

    // The tool became the daemon (it execs in place), and the daemon serves
    // confined: the installer's capabilities and CAP_SYS_PTRACE (0x8001f),
    // no new privileges, a seccomp filter.
    const std::string status = vt::readFile("/proc/" + std::to_string(f.launcherPid()) + "/status");
    ASSERT_NE(status.find("com.vandrelsys."), std::string::npos) << status;
    const std::pair<const char*, const char*> fields[] = {{"CapEff", "000000000008001f"},
                                                          {"CapPrm", "000000000008001f"},
                                                          {"CapBnd", "000000000008001f"},
                                                          {"NoNewPrivs", "1"},
                                                          {"Seccomp", "2"}};
    for (const auto& [name, value] : fields) EXPECT_EQ(statusField(status, name), value) << name;

    auto uninstalled = f.client({"uninstall", bundle});
    ASSERT_EQ(uninstalled.status, 0) << uninstalled.out << uninstalled.err << f.log();
    EXPECT_FALSE(fs::exists(f.rootPath() + "/opt/Activated"));
}

} // namespace
