// Ports across real processes: messages and rights, names that stay the
// same for the same port, dead names, refused frames, and the bootstrap
// server's rules.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
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

std::shared_ptr<PortMessage> receiveWithin(Port& port, std::chrono::milliseconds watchdog = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + watchdog;
    std::shared_ptr<PortMessage> message;
    while (std::chrono::steady_clock::now() < end) {
        if (port.receive(&message) == 0) return message;
        ::usleep(1000);
    }
    return nullptr;
}

pf::Data dataOf(const PortMessage& message, std::size_t index = 0) { return std::get<pf::Data>(message.components.at(index)); }

PortMessage to(std::shared_ptr<Port> destination, pf::Data data, std::shared_ptr<Port> reply = nullptr) {
    PortMessage message;
    message.sendPort = std::move(destination);
    message.receivePort = std::move(reply);
    message.components.emplace_back(std::move(data));
    return message;
}

} // namespace

// A client process: looks the service up, sends two requests that carry
// one reply port, and checks each answer.
VT_CHILD_ROLE(machClient) {
    std::shared_ptr<Port> service;
    if (bootstrapLookUp("test.svc", &service) != 0) return 1;
    auto reply = Port::create();
    for (std::uint8_t round = 0; round < 2; ++round) {
        if (to(service, {round}, reply).send(5) != 0) return 2;
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
    ASSERT_TRUE(service->hasReceiveRight());
    vt::ChildRole client("machClient");

    std::shared_ptr<Port> replyPort;
    for (std::uint8_t round = 0; round < 2; ++round) {
        auto request = receiveWithin(*service, std::chrono::seconds(10));
        ASSERT_TRUE(request && request->sendPort);
        EXPECT_EQ(dataOf(*request), pf::Data{round});
        if (replyPort) {
            EXPECT_EQ(request->sendPort, replyPort) << "one reply port, one Port and name";
        }
        replyPort = request->sendPort;
        EXPECT_EQ(to(request->sendPort, {static_cast<std::uint8_t>(round + 10)}).send(5), 0);
    }
    vt::Event dead;
    auto source = DeadNameSource::create(*replyPort, pf::dispatch::Queue::global(), [&] { dead.signal(); });
    ASSERT_TRUE(source);
    const int status = client.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(dead.wait()) << "the client's exit makes its reply port a dead name";
    EXPECT_EQ(to(replyPort, {1}).send(1), -EPIPE);
}

TEST_F(MachPortTest, MalformedFramesAreRefusedAndLaterOnesStillArrive) {
    auto port = Port::create();
    auto other = Port::create();
    const int sendFd = port->sendEnd()->get();
    const int otherEnd = other->sendEnd()->get();
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    pf::UniqueFd pipeRead(pipeEnds[0]), pipeWrite(pipeEnds[1]);
    auto frameBytes = [](bool replyPort) {
        FrameContents contents;
        contents.carriesReplyPort = replyPort;
        contents.components.push_back({false, pf::Data{9}});
        return *encodeFrame(contents, nullptr);
    };
    const pf::Data good = frameBytes(false), withReply = frameBytes(true), garbage{1, 2, 3};
    const struct {
        const char* what;
        const pf::Data* bytes;
        std::vector<int> rights;
    } cases[] = {
        {"garbage", &garbage, {}},
        {"a stray descriptor", &good, {otherEnd}},
        {"a reply port announced but missing", &withReply, {}},
        {"a pipe for a port", &withReply, {pipeRead.get()}},
        {"two descriptors", &withReply, {otherEnd, otherEnd}},
    };
    for (const auto& c : cases) ASSERT_EQ(sendWithRights(sendFd, c.bytes->data(), c.bytes->size(), c.rights), static_cast<ssize_t>(c.bytes->size())) << c.what;
    ASSERT_EQ(to(port, {4}).send(1), 0);
    auto message = receiveWithin(*port);
    ASSERT_TRUE(message);
    EXPECT_EQ(dataOf(*message), pf::Data{4});
    EXPECT_EQ(port->refusedFrames(), std::size(cases));

    pf::Data huge(kMaxWireBytes + 1, 0);
    const ssize_t sent = sendWithRights(sendFd, huge.data(), huge.size(), {});
    if (sent > 0) {
        std::shared_ptr<PortMessage> none;
        EXPECT_EQ(port->receive(&none), -EBADMSG) << "an oversized frame";
    }
}

TEST_F(MachPortTest, BootstrapRulesAndMessagesThatWaitForCheckIn) {
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

    // Sent before anybody checked in: it waits in the port the server holds.
    ASSERT_EQ(to(port, {5}).send(1), 0);
    std::shared_ptr<Port> receiver;
    ASSERT_EQ(bootstrapCheckIn("test.both", &receiver), 0);
    auto waiting = receiveWithin(*receiver);
    ASSERT_TRUE(waiting);
    EXPECT_EQ(dataOf(*waiting), pf::Data{5});

    int invalidations = 0;
    auto observer = pf::NotificationCenter::defaultCenter().addObserver(
        kPortDidBecomeInvalidNotification, receiver.get(), [&](const pf::Notification&) { ++invalidations; });
    receiver->invalidate();
    receiver->invalidate();
    pf::NotificationCenter::defaultCenter().removeObserver(observer);
    EXPECT_EQ(invalidations, 1);
    EXPECT_FALSE(receiver->isValid());
}
