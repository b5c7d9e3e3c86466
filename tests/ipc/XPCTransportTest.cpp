// The IPC library over its XPC transport between real processes: the echo
// service runs in a child process, the test is its client or a raw peer.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "ipc/IPCKeys.h"
#include "platform/xpc/Limits.h"
#include "platform/xpc/Wire.h"
#include "tests/ipc/EchoService.h"
#include "tests/support/ChildRole.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace vt;

std::shared_ptr<VDIPCConnection> connect() {
    return VDIPCConnection::connectionWithXPCServiceName(vt::kEchoService, ::geteuid() == 0);
}

int connectRaw(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What a raw peer reads first (watchdog 10 s): 1 for an answer, 0 when the service closed it.
ssize_t firstRead(int fd) {
    timeval watchdog{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &watchdog, sizeof watchdog);
    char byte;
    return ::read(fd, &byte, 1);
}

// The wire bytes a client library would send for the request.
std::vector<std::uint8_t> requestFrame(const std::shared_ptr<VDIPCMessage>& message, std::uint64_t id = 1) {
    pf::xpc::Dictionary dictionary;
    dictionary.setData(vdipc::kXPCDataKey, std::make_shared<VDIPCConnection>()->encodedMessage(message).value());
    dictionary.setBool(vdipc::kXPCWantsReplyKey, true);
    return pf::xpc::wire::encodeFrame(dictionary, pf::xpc::wire::kWantsReply, id, 0).value();
}

// Each test gets private service folders.
class XPCTransport : public testing::Test {
protected:
    std::string socketPath() const { return dir_ / (std::string(vt::kEchoService) + ".sock"); }

    // Starts the service child and waits (watchdog 10 s) until its socket is there.
    std::unique_ptr<vt::ChildRole> startService() {
        ::unlink(socketPath().c_str()); // a dead service's socket would look ready
        auto child = std::make_unique<vt::ChildRole>("echoService", std::vector<std::string>{"xpc"});
        EXPECT_TRUE(vt::runMainLoopUntil([&] { return ::access(socketPath().c_str(), F_OK) == 0; }));
        return child;
    }

    vt::TempDir dir_{"vicar-ipc"};
    vt::ScopedEnvironment systemServices_{"VICAR_SYSTEM_SERVICE_DIR", dir_.path()};
    vt::ScopedEnvironment userServices_{"VICAR_USER_SERVICE_DIR", dir_.path()};
};

TEST_F(XPCTransport, RequestsOneWaysAndFailures) {
    auto service = startService();
    auto connection = connect();
    ASSERT_TRUE(connection);
    auto reply = call(connection, request("echo", 41));
    ASSERT_TRUE(reply);
    EXPECT_EQ(pf::Value(reply->entries()),
              pf::Value(pf::Dictionary{{"_tY", "VDresponse"}, {"_rtY", "echo"}, {"n", 41}, {"oneWays", 0}}));
    // A message the service sends unasked is ignored by the client.
    EXPECT_EQ(ask(connection, "unasked", 5), 5);

    connection->sendMessage(request("oneway"));
    connection->sendMessage(request("oneway"));
    EXPECT_EQ(vt::askUntil(connection, "oneWays", 2), 2);

    // Many requests in flight at once (and many clients at once, below): each
    // reply reaches its own block.
    constexpr int kRequests = 400;
    auto good = std::make_shared<std::atomic<int>>(0); // outlives a watchdog that fires
    for (int n = 0; n < kRequests; ++n)
        connection->sendMessage(request("echo", n), [good, n](std::shared_ptr<VDIPCMessage> answer) {
            *good += answer && answer->objectForKey("n").integer() == n;
        });
    EXPECT_TRUE(vt::waitForCount(*good, kRequests, std::chrono::seconds(20)));

    // The service dies with a request pending: the reply block gets nil.
    bool called = false;
    EXPECT_FALSE(call(connection, request("die"), &called));
    EXPECT_TRUE(called);
    service->wait();

    // A new service under the same name: the client reconnects on its next send.
    service = startService();
    EXPECT_EQ(ask(connection, "echo", 9), 9);

    // A closed connection is dead: its reply blocks never run.
    connection->close();
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return connection->isDead(); }));
    auto never = std::make_shared<std::atomic<bool>>(false);
    connection->sendMessage(request("echo"), [never](std::shared_ptr<VDIPCMessage>) { *never = true; });
    ASSERT_TRUE(call(connect(), request("echo")));
    EXPECT_FALSE(never->load());
}

// Raw peers on the service socket: a peer that sends bad bytes, or whose
// bytes another process wrote (a forked child that shares the socket, for a
// whole frame or the rest of one its parent began), is dropped unanswered;
// the service goes on serving the others.
TEST_F(XPCTransport, RawPeersWithBadOrBorrowedBytesAreDropped) {
    auto service = startService();
    auto connection = connect();
    ASSERT_TRUE(call(connection, request("echo")));
    auto header = [](std::uint32_t length, std::uint32_t flags) {
        std::string bytes(24, '\0');
        std::memcpy(bytes.data(), &length, 4);
        std::memcpy(bytes.data() + 4, &flags, 4);
        bytes[8] = 1;
        return bytes;
    };
    const auto frameBytes = requestFrame(request("echo", 5));
    const std::string frame(frameBytes.begin(), frameBytes.end());
    const struct {
        const char* name;
        std::string bytes;
        std::size_t fromChild; // the bytes at the end that a forked child writes
        bool answered;
    } cases[] = {
        {"a request from the process that connected", frame, 0, true},
        {"oversized length", header(static_cast<std::uint32_t>(pf::xpc::kMaxFrameBytes) + 1, 0), 0, false},
        {"unknown flags", header(4, 0x80) + std::string(4, '\0'), 0, false},
        {"payload with a bad entry", header(8, 0) + std::string("\x01\x00\x00\x00\x00\x00\x07\x00", 8), 0, false},
        {"garbage", std::string(64, '\xff'), 0, false},
        {"a request from a forked child", frame, frame.size(), false},
        {"a request's payload from a forked child", frame, frame.size() - pf::xpc::wire::kHeaderBytes, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = connectRaw(socketPath());
        ASSERT_GE(fd, 0);
        const std::size_t own = c.bytes.size() - c.fromChild;
        ASSERT_EQ(::write(fd, c.bytes.data(), own), static_cast<ssize_t>(own));
        if (c.fromChild) {
            auto writeTheRest = [&] { return ::write(fd, c.bytes.data() + own, c.fromChild) > 0 ? 0 : 1; };
            ASSERT_EQ(vt::runInChild(writeTheRest), 0);
        }
        EXPECT_EQ(firstRead(fd), c.answered ? 1 : 0);
        ::close(fd);
        EXPECT_EQ(ask(connection, "echo", 2), 2);
    }
}

// The resident memory of a process in kB, from /proc.
long residentKilobytes(pid_t pid) {
    long size = 0, pages = -1;
    std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> size >> pages;
    return pages < 0 ? -1 : pages * (::sysconf(_SC_PAGESIZE) / 1024);
}

// 64 peers of 200 requests each, and one more that asks for 2,000 replies of
// 64 KiB (125 MiB) and never reads them: the others get every reply, and the
// service's memory stays bounded because the stuck peer is held back and
// then dropped.
TEST_F(XPCTransport, AStuckPeerDelaysNobodyAndCostsBoundedMemory) {
    auto service = startService();
    constexpr int kPeers = 64, kRequests = 200, kStuckRequests = 2000;
    ASSERT_TRUE(call(connect(), request("echo")));
    [[maybe_unused]] const long rssBefore = residentKilobytes(service->pid()); // unused in the sanitizer build

    const int stuck = connectRaw(socketPath());
    ASSERT_GE(stuck, 0);
    std::thread flooder([&] {
        for (std::uint64_t i = 1; i <= kStuckRequests; ++i) {
            const auto bytes = requestFrame(request("big"), i);
            // Once the service stops reading from it, the writes block or fail; both are fine.
            if (::send(stuck, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) break;
        }
    });

    std::atomic<int> good{0};
    std::vector<std::thread> peers;
    for (int p = 1; p < kPeers; ++p) {
        peers.emplace_back([&, p] {
            auto connection = connect();
            for (int i = 0; i < kRequests; ++i) good += ask(connection, "big", p * 1000 + i) == p * 1000 + i;
        });
    }
    for (auto& t : peers) t.join();
    EXPECT_EQ(good.load(), (kPeers - 1) * kRequests);
    const long rss = residentKilobytes(service->pid());
    EXPECT_GT(rss, 0);
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's quarantine keeps freed replies resident
    // The stuck peer may cost its outgoing limit and its frames in flight;
    // everything else is the other peers' one request each.
    EXPECT_LT(rss - rssBefore, 64 * 1024) << "the service should hold back a peer that does not read";
#endif
    ::shutdown(stuck, SHUT_RDWR);
    flooder.join();
    ::close(stuck);
}

} // namespace
