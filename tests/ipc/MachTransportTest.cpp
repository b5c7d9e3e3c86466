// The IPC library over its Mach transport between real processes. The test
// serves the bootstrap names itself, as the launcher does; a child process
// (this program in a role) serves or asks, the test plays the other side.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <signal.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "ipc/IPCKeys.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCConnectionMach.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "platform/mach/Bootstrap.h"
#include "platform/mach/Frame.h"
#include "platform/mach/BootstrapServer.h"
#include "platform/mach/RightsTransfer.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/ChildRole.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr const char* kService = "com.vandrelsys.test.mach";

std::shared_ptr<VDIPCConnectionMach> gService;

std::int64_t childIdentity(const std::shared_ptr<VDIPCMessage>& request) {
    return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(request->connection().get()) & 0x7fffffff);
}

// ---- the service role ----

VT_CHILD_ROLE(machService) {
    static std::atomic<int> oneWays{0}, inFlight{0}, mostInFlight{0};
    auto handler = [](std::shared_ptr<VDIPCMessage> request) {
        if (!request) return;
        const std::string type = request->type().value_or("");
        if (type == "oneway") ++oneWays;
        auto connection = request->connection();
        if (type == "oneway" || type == "silent" || !connection) return;
        if (type == "slow") {
            mostInFlight = std::max(mostInFlight.load(), ++inFlight);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            --inFlight;
        }
        if (type == "closechild") connection->close();
        auto reply = VDIPCMessage::replyToMessage(request, "VDresponse");
        reply->setObject(request->objectForKey("n"), "n");
        reply->setObject(pf::Value(static_cast<std::int64_t>(oneWays.load())), "oneWays");
        reply->setObject(pf::Value(static_cast<std::int64_t>(mostInFlight.load())), "mostInFlight");
        reply->setObject(pf::Value(static_cast<std::int64_t>(gService ? gService->childCount() : -1)), "children");
        reply->setObject(pf::Value(childIdentity(request)), "child");
        connection->sendMessage(reply);
    };
    auto service = VDIPCConnection::serviceConnnectionWithName(kService, nullptr, handler);
    if (!service) return 2;
    gService = std::dynamic_pointer_cast<VDIPCConnectionMach>(service);
    for (;;) pf::RunLoop::main().runFor(3600);
}

std::shared_ptr<VDIPCMessage> call(const std::shared_ptr<VDIPCConnection>& connection, const std::string& type,
                                   std::int64_t n = 0) {
    auto done = std::make_shared<vt::Event>();
    auto reply = std::make_shared<std::shared_ptr<VDIPCMessage>>();
    auto request = VDIPCMessage::messageWithType(type);
    request->setObject(pf::Value(n), "n");
    connection->sendMessage(request, [done, reply](std::shared_ptr<VDIPCMessage> message) {
        *reply = std::move(message);
        done->signal();
    });
    return done->wait(std::chrono::seconds(20)) ? *reply : nullptr;
}

std::int64_t entry(const std::shared_ptr<VDIPCMessage>& reply, const char* key) {
    return reply ? reply->objectForKey(key).integer() : -1;
}

// ---- the client role: two requests; exits with the children count it saw
// when both went through one child ----

VT_CHILD_ROLE(machClient) {
    auto connection = VDIPCConnection::connectionWithServiceName(kService);
    if (!connection) return 100;
    auto first = call(connection, "echo", 1), second = call(connection, "echo", 2);
    if (entry(first, "n") != 1 || entry(second, "n") != 2) return 101;
    if (entry(first, "child") != entry(second, "child")) return 102;
    return static_cast<int>(entry(second, "children"));
}

class MachTransport : public testing::Test {
protected:
    void SetUp() override {
        server_ = pf::mach::BootstrapServer::start(dir_ / "bootstrap.sock", nullptr, nullptr);
        ASSERT_TRUE(server_);
        auto anyone = [](const pf::xpc::PeerCredentials&) { return std::optional<std::string>(); };
        servicePort_ = server_->declare(kService, anyone, anyone);
    }

    std::unique_ptr<vt::ChildRole> startService() { return std::make_unique<vt::ChildRole>("machService"); }

    vt::TempDir dir_{"vicar-mach-ipc"};
    vt::ScopedEnvironment bootstrap_{pf::mach::kBootstrapEnvironmentKey, dir_ / "bootstrap.sock"};
    std::unique_ptr<pf::mach::BootstrapServer> server_;
    std::shared_ptr<pf::mach::Port> servicePort_;
};

} // namespace

TEST_F(MachTransport, RequestsOneWaysSilenceAndTurns) {
    // Sent before the service runs: the request waits in the held port.
    auto connection = VDIPCConnection::connectionWithServiceName(kService);
    ASSERT_TRUE(connection);
    connection->setTimeout(20); // the wait covers the service's start
    auto early = std::make_shared<vt::Event>();
    connection->sendMessage(VDIPCMessage::messageWithType("echo"), [early](auto reply) { if (reply) early->signal(); });
    auto service = startService();
    EXPECT_TRUE(early->wait(std::chrono::seconds(20)));

    EXPECT_EQ(entry(call(connection, "echo", 41), "n"), 41);
    connection->sendMessage(VDIPCMessage::messageWithType("oneway"));
    connection->sendMessage(VDIPCMessage::messageWithType("oneway"));
    std::int64_t oneWays = 0;
    for (int attempt = 0; attempt < 200 && oneWays != 2; ++attempt) oneWays = entry(call(connection, "echo"), "oneWays");
    EXPECT_EQ(oneWays, 2);

    // Two requests on one client never overlap at the service.
    auto a = std::make_shared<vt::Event>(), b = std::make_shared<vt::Event>();
    std::atomic<std::int64_t> most{0};
    for (auto* done : {&a, &b})
        connection->sendMessage(VDIPCMessage::messageWithType("slow"), [done = *done, &most](auto reply) {
            most = std::max<std::int64_t>(most, entry(reply, "mostInFlight"));
            done->signal();
        });
    EXPECT_TRUE(a->wait(std::chrono::seconds(20)) && b->wait(std::chrono::seconds(20)));
    EXPECT_EQ(most.load(), 1);

    vt::LogCapture log;
    connection->setTimeout(0.2);
    EXPECT_EQ(call(connection, "silent"), nullptr);
    EXPECT_TRUE(log.contains("mipc: empty msg received"));
    connection->setTimeout(5);
}

TEST_F(MachTransport, ChildrenPerClientAndCloseOnEitherSide) {
    auto service = startService();
    auto connection = VDIPCConnection::connectionWithServiceName(kService);
    ASSERT_TRUE(connection);
    EXPECT_EQ(entry(call(connection, "echo"), "children"), 1);
    vt::ChildRole other("machClient");
    int status = other.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "a second client, one child of its own: " << status;
    // The other client exited: its child goes, and the service goes on.
    std::int64_t children = -1;
    for (int attempt = 0; attempt < 1000 && children != 1; ++attempt) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        children = entry(call(connection, "echo"), "children");
    }
    EXPECT_EQ(children, 1);
    // close on a child does nothing: the reply still comes through it.
    EXPECT_EQ(entry(call(connection, "closechild", 7), "n"), 7);
    EXPECT_EQ(entry(call(connection, "echo", 8), "n"), 8);

    std::atomic<bool> died{false};
    auto observer = pf::NotificationCenter::defaultCenter().addObserver(
        vdipc::kConnectionDiedNotification, connection.get(), [&](const pf::Notification&) { died = true; });
    connection->close();
    EXPECT_TRUE(vt::runMainLoopUntil([&] { return died.load(); }));
    pf::NotificationCenter::defaultCenter().removeObserver(observer);
    EXPECT_TRUE(connection->isDead());
}

TEST_F(MachTransport, MalformedFramesAreRefusedOrAnsweredAsTheFailureTableSays) {
    // The test serves the name itself with a raw port and answers badly.
    std::shared_ptr<pf::mach::Port> port;
    ASSERT_EQ(pf::mach::bootstrapCheckIn(kService, &port), 0);
    auto connection = VDIPCConnection::connectionWithServiceName(kService);
    ASSERT_TRUE(connection);
    connection->setTimeout(2);
    const struct {
        const char* what;
        std::vector<pf::mach::PortComponent> answer;
        const char* logLine;
    } cases[] = {
        {"no component", {}, "mipc: empty msg received"},
        {"a port where data belongs", {pf::mach::Port::create()}, "mipc: invalid msg type received"},
    };
    for (const auto& c : cases) {
        vt::LogCapture log;
        std::shared_ptr<VDIPCMessage> reply = VDIPCMessage::message();
        vt::Event answered;
        connection->sendMessage(VDIPCMessage::messageWithType("echo"), [&](auto r) { reply = r; answered.signal(); });
        std::shared_ptr<pf::mach::PortMessage> request;
        for (int i = 0; i < 2000 && port->receive(&request) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(request && request->sendPort) << c.what;
        pf::mach::PortMessage answer{request->sendPort, nullptr, 0, c.answer};
        ASSERT_EQ(answer.send(1), 0) << c.what;
        ASSERT_TRUE(answered.wait()) << c.what;
        EXPECT_EQ(reply, nullptr) << c.what;
        EXPECT_TRUE(log.waitFor(c.logLine)) << c.what;
    }
    // A real service takes bad frames from one sender and serves the others.
    ASSERT_EQ(pf::mach::bootstrapLookUp(kService, &port), 0);
    auto service = std::make_unique<vt::ChildRole>("machService");
    const int sendFd = port->sendEnd()->get();
    auto stray = pf::mach::Port::create();
    const pf::Data garbage(64, 0xee), huge(pf::mach::kMaxWireBytes + 8, 0);
    const int strayFd = stray->sendEnd()->get();
    pf::mach::sendWithRights(sendFd, garbage.data(), garbage.size(), {});
    pf::mach::sendWithRights(sendFd, huge.data(), huge.size(), {});
    pf::mach::sendWithRights(sendFd, garbage.data(), garbage.size(), std::span(&strayFd, 1));
    pf::mach::PortMessage empty{port, stray, 0, {}}, portOnly{port, nullptr, 0, {stray}};
    EXPECT_EQ(empty.send(1), 0);
    EXPECT_EQ(portOnly.send(1), 0);
    connection->setTimeout(20);
    EXPECT_EQ(entry(call(connection, "echo", 3), "n"), 3);
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
                             {"EnvironmentVariables", pf::Dictionary{{"VICAR_TEST_CHILD_ROLE", "machService"}}},
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
    EXPECT_TRUE(connection) << "the launcher never served the name";
    if (connection) {
        EXPECT_EQ(entry(call(connection, "echo", 12), "n"), 12);
    }
    std::shared_ptr<pf::mach::Port> stolen;
    EXPECT_EQ(pf::mach::bootstrapCheckIn(kService, &stolen), EPERM) << "only the job's process checks in";
    ::kill(launcher, SIGTERM);
    int status = 0;
    ::waitpid(launcher, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
