// The daemon as an on-demand service: started by the launcher on the first
// connection, serving, rejecting bad seals, leaving when idle (never with
// work in flight or clients waiting), started again.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/system/UniqueFd.h"
#include "tests/e2e/Daemon.h"
#include "tests/support/BomBuilder.h"
#include "tests/support/ChildRole.h"

namespace {

using testing::HasSubstr;

// Holds the first open of a file (by anyone) until release(): a request that
// reads it stays in flight exactly as long as the test wants, no timing.
class OpenGate {
public:
    explicit OpenGate(const std::string& path) : fd_(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY)) {
        if (!fd_ || ::fanotify_mark(fd_.get(), FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, path.c_str()) != 0)
            throw std::runtime_error("fanotify: " + std::string(std::strerror(errno)));
    }
    // True once an open is held (watchdog 20 s).
    bool waitHeld() {
        pollfd p{fd_.get(), POLLIN, 0};
        fanotify_event_metadata event{};
        if (::poll(&p, 1, 20000) != 1 || ::read(fd_.get(), &event, sizeof event) != sizeof event) return false;
        held_.reset(event.fd);
        return true;
    }
    // Closing the group allows the held open and every later one.
    void release() { fd_.reset(); }

private:
    pf::UniqueFd held_, fd_;
};

// Sends sealed requests as client applications do, each on a connection of
// its own or on one kept open, and counts the replies that came (an
// interruption or a dead connection gives none).
class Requests {
public:
    void send(std::shared_ptr<VDIPCConnection> kept = nullptr) {
        auto connection = kept ? kept : vt::connectSealed();
        if (!connection) return;
        ++sent_;
        connection->sendMessage(VDIPCMessage::messageWithType("VDinstall"),
                                [this, connection, own = !kept](std::shared_ptr<VDIPCMessage> reply) {
                                    if (own) connection->close();
                                    replied_ += reply != nullptr;
                                    ++ended_;
                                });
    }
    // True when every request sent has ended (watchdog 60 s) with a reply.
    bool allReplied() {
        const bool ended = vt::waitForCount(ended_, sent_, std::chrono::seconds(60));
        std::fprintf(stderr, "%d sent, %d ended, %d replied\n", sent_.load(), ended_.load(), replied_.load());
        return ended && replied_ == sent_;
    }

private:
    std::atomic<int> sent_ = 0, ended_ = 0, replied_ = 0;
};

// arguments: the launcher's log, the service socket.
VT_CHILD_ROLE(idleExitClients) {
    auto daemon = [&] { return vt::daemonPidsInLog(vt::readFile(arguments.at(0))).back(); };
    Requests requests;
    std::vector<std::shared_ptr<VDIPCConnection>> kept(20);
    for (auto& connection : kept) requests.send(connection = vt::connectSealed()); // the daemon starts
    // A raw connection that never sends: an empty send on it fails once the
    // daemon has shut its clients' reading side, that is, begun to leave.
    const pf::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::strncpy(address.sun_path, arguments.at(1).c_str(), sizeof address.sun_path - 1);
    if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 10;
    if (!requests.allReplied()) return 11;

    // Frozen until its idle time-out is overdue (whole seconds, so T + 1 s
    // always is), the daemon wakes to 100 clients waiting in its socket.
    auto freezeUntilOverdue = [&] {
        ::kill(daemon(), SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    };
    freezeUntilOverdue();
    for (int i = 0; i < 100; ++i) requests.send();
    ::kill(daemon(), SIGCONT);
    if (!requests.allReplied()) return 12;

    // Woken with nothing to do, it begins to leave; at that moment 80
    // requests go out on the 20 connections it served.
    freezeUntilOverdue();
    ::kill(daemon(), SIGCONT);
    for (int i = 0; i < 100000 && ::send(probe.get(), "", 0, MSG_NOSIGNAL) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    for (int i = 0; i < 80; ++i) requests.send(kept[i % kept.size()]);
    return requests.allReplied() ? 0 : 13;
}

// Envelopes the daemon refuses, and a message it takes but has no handler
// for: it serves on, until asked to delete the executable its job names.
TEST(JobServerE2E, BadSealsAndUnknownTypesLeaveTheDaemonServingUntilItRemovesItself) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    vt::DaemonFixture f;
    f.startLauncher();
    // A wrongly sealed envelope is rejected; one without any seal is taken
    // as it is (the request then fails its own checks).
    const std::pair<std::string, std::string> envelopes[] = { // seal name (empty: none), the daemon's log line
        {"com.example.other", "ipc: failed to decode message"}, {"", "Exception: nil @ 21!"}};
    for (const auto& [hookName, logLine] : envelopes) {
        SCOPED_TRACE(logLine);
        const int before = f.countInLog(logLine);
        const int status = vt::runInChild([&] {
            ::setenv("VICAR_SYSTEM_SERVICE_DIR", f.path("services").c_str(), 1);
            auto connection = vt::connectSealed(hookName);
            if (!connection) return 10;
            // Sending happens off this thread, so stay until it has landed.
            connection->sendMessage(VDIPCMessage::messageWithType("VDinstall"));
            return f.waitForLog(logLine, before + 1) ? 0 : 11;
        });
        EXPECT_EQ(WEXITSTATUS(status), 0) << f.log();
    }
    // An unknown type gets no reply: the client stops waiting after its
    // --timeout and says so.
    const auto unknown = f.client({"--timeout", "1", "send", "VDnoSuchType"});
    EXPECT_EQ(unknown.status, 2) << unknown.out << unknown.err;
    EXPECT_THAT(unknown.err, HasSubstr("no reply from com.vandrelsys.VolumeSmith.vicar within 1 s (timed out"));
    const auto known = f.client({"send", "VDinstall"});
    EXPECT_EQ(known.status, 1) << known.out << known.err;
    EXPECT_THAT(known.out, HasSubstr("nil @ 21!"));
    EXPECT_EQ(f.daemonPids().size(), 1u) << f.log();

    auto removed = f.client({"remove-self"});
    EXPECT_EQ(removed.status, 0) << removed.err << f.log();
    ASSERT_TRUE(f.waitForLog("exited with status 0")) << f.log();
    EXPECT_FALSE(std::filesystem::exists(f.daemonPath()));
}

// Started on the first connection, the daemon serves confined; at its idle
// time-out it stays while an install is in flight, leaves once idle, and the
// next client starts it again.
TEST(JobServerE2E, StartedOnDemandItLeavesWhenIdleButNotWithAnInstallInFlight) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    vt::DaemonFixture f(2);
    f.startLauncher();
    EXPECT_TRUE(f.daemonPids().empty()) << "started before any client connected";
    const std::string bundle =
        f.makeBundle("Slow.app", {{"Contents/Resources/gate", "gate"}, {"Contents/Resources/after", "after"}},
                     vt::bom({vt::bomEntry("", "/slow", "755"),
                              vt::bomEntry("Contents/Resources/gate", "/slow/gate", "644"),
                              vt::bomEntry("Contents/Resources/after", "/slow/after", "644")},
                             {}));
    std::future<vt::CommandResult> install; // outlives the gate, which lets it end
    OpenGate gate(bundle + "/Contents/Resources/gate");
    install = std::async(std::launch::async, [&] { return f.install(bundle); });
    ASSERT_TRUE(gate.waitHeld()) << f.log();
    // The installer's capabilities and CAP_SYS_PTRACE (0x8001f), no new
    // privileges, a seccomp filter.
    const std::string status = vt::readFile("/proc/" + std::to_string(f.daemonPids().at(0)) + "/status");
    for (const char* field : {"CapEff:\t000000000008001f\n", "CapPrm:\t000000000008001f\n",
                              "CapBnd:\t000000000008001f\n", "NoNewPrivs:\t1\n", "Seccomp:\t2\n"})
        EXPECT_NE(status.find(std::string("\n") + field), std::string::npos) << field << status;
    // The idle time-out passes while the install is held in the middle.
    EXPECT_TRUE(f.waitForLog("idle exit postponed")) << f.log();
    gate.release();
    const auto result = install.get();
    EXPECT_EQ(result.status, 0) << result.out << result.err << f.log();
    EXPECT_EQ(vt::readFile(f.rootPath() + "/slow/gate"), "gate");
    EXPECT_EQ(vt::readFile(f.rootPath() + "/slow/after"), "after");
    EXPECT_EQ(f.daemonPids().size(), 1u) << f.log();

    ASSERT_TRUE(f.waitForLog("exited with status 0")) << f.log();
    auto again = f.client({"install", f.path("nowhere")});
    EXPECT_EQ(again.status, 1) << again.err;
    const auto pids = f.daemonPids();
    ASSERT_EQ(pids.size(), 2u) << f.log();
    EXPECT_NE(pids[0], pids[1]);
}

TEST(JobServerE2E, RequestsMeetingTheIdleExitAreAllAnswered) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    vt::DaemonFixture f(2);
    f.startLauncher();
    // The clients run in a process of their own: this one forks for other tests.
    f.exportEnvironment();
    vt::ChildRole clients("idleExitClients", {f.path("launcher.log"), f.socketPath()});
    EXPECT_EQ(clients.wait(std::chrono::seconds(90)), 0) << f.log();
}

} // namespace
