// Ports across real processes: messages and rights, names that stay the
// same for the same port, dead names, refused frames, and the bootstrap
// server's rules.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/dispatch/Queue.h"
#include "platform/mach/Bootstrap.h"
#include "platform/mach/BootstrapServer.h"
#include "platform/mach/DeadNameSource.h"
#include "platform/mach/RightsTransfer.h"
#include "platform/mach/Frame.h"
#include "tests/support/ChildRole.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TestSupport.h"

using namespace pf::mach;

namespace {

// The next message of the port, polled (watchdog 10 s); nullptr when none came.
std::shared_ptr<PortMessage> receiveWithin(Port& port) {
    std::shared_ptr<PortMessage> message;
    for (int attempt = 0; attempt < 10000 && port.receive(&message) != 0; ++attempt) ::usleep(1000);
    return message;
}

pf::Data dataOf(const PortMessage& message) { return std::get<pf::Data>(message.components.at(0)); }

int sendData(std::shared_ptr<Port> destination, std::uint8_t byte, std::shared_ptr<Port> reply = nullptr) {
    return PortMessage{std::move(destination), std::move(reply), 0, {pf::Data{byte}}}.send(5);
}

} // namespace

// A client process: looks the service up, sends two requests that carry
// one reply port, and checks each answer.
VT_CHILD_ROLE(machClient) {
    std::shared_ptr<Port> service;
    if (bootstrapLookUp("test.svc", &service) != 0) return 1;
    auto reply = Port::create();
    for (std::uint8_t round = 0; round < 2; ++round) {
        if (sendData(service, round, reply) != 0) return 2;
        auto answer = receiveWithin(*reply);
        if (!answer || dataOf(*answer) != pf::Data{static_cast<std::uint8_t>(round + 10)}) return 3;
    }
    return 0;
}

struct MachPortTest : ::testing::Test {
    vt::TempDir dir{"vicar-mach"};
    vt::ScopedEnvironment env{kBootstrapEnvironmentKey, dir / "bootstrap.sock"};
    std::unique_ptr<BootstrapServer> server = BootstrapServer::start(dir / "bootstrap.sock", nullptr, nullptr);
    static std::optional<std::string> allow(const pf::xpc::PeerCredentials&) { return std::nullopt; }
    static std::optional<std::string> refuse(const pf::xpc::PeerCredentials&) { return "not this one"; }
};

TEST_F(MachPortTest, RequestsAcrossProcessesKeepTheReplyPortNameUntilItsHolderExits) {
    ASSERT_TRUE(server);
    server->declare("test.svc", allow, allow);
    std::shared_ptr<Port> service;
    ASSERT_EQ(bootstrapCheckIn("test.svc", &service), 0);
    vt::ChildRole client("machClient");

    std::shared_ptr<Port> replyPort;
    for (std::uint8_t round = 0; round < 2; ++round) {
        auto request = receiveWithin(*service);
        ASSERT_TRUE(request && request->sendPort);
        EXPECT_EQ(dataOf(*request), pf::Data{round});
        if (replyPort) {
            EXPECT_EQ(request->sendPort, replyPort) << "one reply port, one Port and name";
        }
        replyPort = request->sendPort;
        EXPECT_EQ(sendData(request->sendPort, round + 10), 0);
    }
    vt::Event dead;
    auto source = DeadNameSource::create(*replyPort, pf::dispatch::Queue::global(), [&] { dead.signal(); });
    ASSERT_TRUE(source);
    const int status = client.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(dead.wait()) << "the client's exit makes its reply port a dead name";
    EXPECT_EQ(sendData(replyPort, 1), -EPIPE);
}

TEST_F(MachPortTest, MalformedFramesAreRefusedAndLaterOnesStillArrive) {
    auto port = Port::create();
    auto other = Port::create();
    const int sendFd = port->sendEnd()->get();
    const int otherEnd = other->sendEnd()->get();
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    pf::UniqueFd pipeRead(pipeEnds[0]), pipeWrite(pipeEnds[1]);
    const pf::Data good = *encodeFrame({0, false, {{false, {9}}}}, nullptr);
    const pf::Data withReply = *encodeFrame({0, true, {{false, {9}}}}, nullptr), garbage{1, 2, 3};
    const struct {
        const char* what;
        pf::Data bytes;
        std::vector<int> rights;
    } cases[] = {
        {"garbage", garbage, {}},
        {"a stray descriptor", good, {otherEnd}},
        {"a reply port announced but missing", withReply, {}},
        {"a pipe for a port", withReply, {pipeRead.get()}},
        {"two descriptors", withReply, {otherEnd, otherEnd}},
    };
    for (const auto& [what, bytes, rights] : cases)
        ASSERT_EQ(sendWithRights(sendFd, bytes.data(), bytes.size(), rights), ssize_t(bytes.size())) << what;
    ASSERT_EQ(sendData(port, 4), 0);
    auto message = receiveWithin(*port);
    ASSERT_TRUE(message);
    EXPECT_EQ(dataOf(*message), pf::Data{4});
    EXPECT_EQ(port->refusedFrames(), std::size(cases));

    pf::Data huge(kMaxWireBytes + 1, 0);
    if (sendWithRights(sendFd, huge.data(), huge.size(), {}) > 0) {
        std::shared_ptr<PortMessage> none;
        EXPECT_EQ(port->receive(&none), -EBADMSG) << "an oversized frame";
    }
}

// (A message sent before anybody checked in waits in the port the server
// holds: the launcher's on-demand start in the IPC tests relies on it.)
TEST_F(MachPortTest, BootstrapRules) {
    ASSERT_TRUE(server);
    server->declare("test.held", refuse, allow);
    server->declare("test.open", allow, refuse);
    server->declare("test.both", allow, allow);
    std::shared_ptr<Port> port;
    const struct {
        const char* what;
        bool checkIn;
        const char* name;
        int expected;
    } cases[] = {
        {"unknown name", false, "test.none", ENOENT},
        {"empty name", false, "", EINVAL},
        {"check-in refused", true, "test.held", EPERM},
        {"look-up refused", false, "test.open", EPERM},
        {"look-up", false, "test.held", 0},
        {"look-up before anybody checked in", false, "test.both", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.checkIn ? bootstrapCheckIn(c.name, &port) : bootstrapLookUp(c.name, &port), c.expected) << c.what;
}
