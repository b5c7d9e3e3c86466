// The IPC library over its Mach transport between real processes. The test
// serves the bootstrap names itself, as the launcher does; the echo service
// runs in a child process, the test is its client or a sender of raw frames.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <signal.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "ipc/IPCKeys.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "platform/mach/Bootstrap.h"
#include "platform/mach/BootstrapServer.h"
#include "platform/mach/RightsTransfer.h"
#include "tests/ipc/EchoService.h"
#include "tests/support/ChildRole.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace vt;
constexpr const char* kService = vt::kEchoService;

} // namespace

// Requests and one-way messages; one client's requests never overlap at the
// service; each client has a child connection of its own, gone when the
// client goes; bad frames from one sender leave the service serving the
// others (which frames a port refuses is the port test's); a request without
// answer ends at the time-out; the client's close is announced.
TEST(MachTransport, RequestsChildrenBadFramesAndClose) {
    vt::TempDir dir{"vicar-mach-ipc"};
    vt::ScopedEnvironment bootstrap{pf::mach::kBootstrapEnvironmentKey, dir / "bootstrap.sock"};
    auto server = pf::mach::BootstrapServer::start(dir / "bootstrap.sock", nullptr, nullptr);
    ASSERT_TRUE(server);
    auto anyone = [](const pf::xpc::PeerCredentials&) { return std::optional<std::string>(); };
    server->declare(kService, anyone, anyone);
    vt::ChildRole service("echoService", {"mach"});
    auto connection = VDIPCConnection::connectionWithServiceName(kService);
    ASSERT_TRUE(connection);
    connection->setTimeout(20); // the first wait covers the service's start
    EXPECT_EQ(ask(connection, "echo", 41), 41);
    connection->sendMessage(request("oneway"));
    connection->sendMessage(request("oneway"));
    EXPECT_EQ(vt::askUntil(connection, "oneWays", 2), 2);

    auto most = std::make_shared<std::atomic<std::int64_t>>(0);
    auto answered = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < 2; ++i)
        connection->sendMessage(request("slow"), [most, answered](auto reply) {
            *most = std::max<std::int64_t>(*most, reply ? reply->objectForKey("mostInFlight").integer() : -1);
            ++*answered;
        });
    EXPECT_TRUE(vt::waitForCount(*answered, 2, std::chrono::seconds(20)));
    EXPECT_EQ(most->load(), 1);

    auto other = VDIPCConnection::connectionWithServiceName(kService);
    const std::int64_t child = ask(other, "echo", 0, "child");
    EXPECT_EQ(ask(other, "echo", 0, "child"), child);
    EXPECT_NE(ask(connection, "echo", 0, "child"), child);
    EXPECT_EQ(ask(other, "echo", 0, "children"), 2);
    other->close();
    EXPECT_EQ(vt::askUntil(connection, "children", 1), 1);
    // close on a child does nothing: the reply still comes through it.
    EXPECT_EQ(ask(connection, "closechild", 7), 7);
    EXPECT_EQ(ask(connection, "echo", 8), 8);

    std::shared_ptr<pf::mach::Port> port;
    ASSERT_EQ(pf::mach::bootstrapLookUp(kService, &port), 0);
    const pf::Data garbage(64, 0xee);
    pf::mach::sendWithRights(port->sendEnd()->get(), garbage.data(), garbage.size(), {});
    auto stray = pf::mach::Port::create();
    pf::mach::PortMessage empty{port, stray, 0, {}}, portOnly{port, nullptr, 0, {stray}};
    EXPECT_EQ(empty.send(1), 0);
    EXPECT_EQ(portOnly.send(1), 0);
    EXPECT_EQ(ask(connection, "echo", 3), 3);

    vt::LogCapture log;
    connection->setTimeout(0.2);
    EXPECT_EQ(vt::call(connection, request("silent")), nullptr);
    EXPECT_TRUE(log.contains("mipc: empty msg received"));

    std::atomic<bool> died{false};
    auto observer = pf::NotificationCenter::defaultCenter().addObserver(
        vdipc::kConnectionDiedNotification, connection.get(), [&](const pf::Notification&) { died = true; });
    connection->close();
    EXPECT_TRUE(vt::runMainLoopUntil([&] { return died.load(); }));
    pf::NotificationCenter::defaultCenter().removeObserver(observer);
    EXPECT_TRUE(connection->isDead());
}

// The launcher holds the port: a request sent before the service runs starts
// it on demand, and is answered by it.
TEST(MachTransportLauncher, ARequestToAHeldPortStartsTheJob) {
    vt::TempDir jobs{"vicar-mach-jobs"}, services{"vicar-mach-services"};
    vt::ScopedEnvironment serviceDir{"VICAR_SYSTEM_SERVICE_DIR", services.path()};
    vt::ScopedEnvironment bootstrap{pf::mach::kBootstrapEnvironmentKey, services / "bootstrap.sock"};
    const pf::Dictionary job{{"Label", "com.vandrelsys.test.machjob"},
                             {"ProgramArguments", pf::Array{std::filesystem::read_symlink("/proc/self/exe").string()}},
                             {"MachServices", pf::Dictionary{{kService, true}}},
                             {"EnvironmentVariables", pf::Dictionary{{"VICAR_TEST_CHILD_ROLE", "echoService"},
                                                                     {"VICAR_TEST_CHILD_ARG0", "mach"}}},
                             {"UserName", "root"},
                             {"GroupName", "wheel"}};
    vt::writeFile(jobs / "com.vandrelsys.test.machjob.plist", *pf::xmlPropertyList(job));

    const std::string launcherPath = vt::buildDir() + "/tools/vicar-launcher", jobsPath = jobs.path();
    const pid_t launcher = ::fork();
    if (launcher == 0) {
        ::execl(launcherPath.c_str(), launcherPath.c_str(), "--jobs", jobsPath.c_str(), "--domain", "system", nullptr);
        ::_exit(127);
    }
    ASSERT_GT(launcher, 0);
    std::shared_ptr<VDIPCConnection> connection;
    for (int attempt = 0; attempt < 1000 && !connection; ++attempt) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        connection = VDIPCConnection::connectionWithServiceName(kService);
    }
    EXPECT_EQ(connection ? ask(connection, "echo", 12) : -1, 12) << "the launcher never served the name";
    std::shared_ptr<pf::mach::Port> stolen;
    EXPECT_EQ(pf::mach::bootstrapCheckIn(kService, &stolen), EPERM) << "only the job's process checks in";
    ::kill(launcher, SIGTERM);
    int status = 0;
    ::waitpid(launcher, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
