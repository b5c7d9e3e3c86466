// Who may ask the root daemon: real unprivileged peers (the client run as
// uid 65534) against the shipped rules and an administrator's rules file,
// and peers that try to pass as the signed client or to crowd root out.
#include <grp.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ipc/IPCKeys.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/xpc/Limits.h"
#include "platform/xpc/Wire.h"
#include "server/Seal.h"
#include "tests/e2e/Daemon.h"
#include "tests/support/ChildRole.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kNobody = "65534";

// A sealed request written straight to the socket; every admitted sender
// gets an error reply to it (the URL is none).
std::vector<std::uint8_t> requestFrame() {
    auto codec = std::make_shared<VDIPCConnection>();
    codec->setAerrorHandler(VDSealHook(vt::kLabel));
    auto message = VDIPCMessage::messageWithType("VDinstall");
    message->setObject(pf::Value("not a url"), "VDurl");
    pf::xpc::Dictionary frame;
    frame.setData(vdipc::kXPCDataKey, codec->encodedMessage(message).value());
    frame.setBool(vdipc::kXPCWantsReplyKey, true);
    return pf::xpc::wire::encodeFrame(frame, pf::xpc::wire::kWantsReply, 1, 0).value();
}

bool becomeNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
           ::setresuid(65534, 65534, 65534) == 0;
}

bool connectTo(int fd, const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool sendAll(int fd, const std::vector<std::uint8_t>& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// What a raw sender sees of its request (also the exit status of the roles below).
enum Outcome { kReplied = 0, kClosed = 1, kSilent = 2, kSetupFailed = 3 };

Outcome outcome(int fd) {
    timeval watchdog{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &watchdog, sizeof watchdog);
    char byte;
    const ssize_t n = ::read(fd, &byte, 1);
    if (n > 0) return kReplied;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? kSilent : kClosed; // a reset is a close too
}

// arguments: mode, socket path, signed executable. As uid 65534, a child
// connects on a socket it shares with this process and execs the signed
// executable; the request is written by this process once the child runs
// the signed program ("fork"), or by the child just before its exec
// ("self"). The exit status is the outcome this process sees.
VT_CHILD_ROLE(connectThenExecTheSigned) {
    const std::string& mode = arguments.at(0);
    const auto frame = requestFrame();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0); // kept across exec, as an attacker would
    if (fd < 0 || !becomeNobody()) return kSetupFailed;
    const pid_t child = ::fork();
    if (child == 0) {
        if (!connectTo(fd, arguments.at(1)) || (mode == "self" && !sendAll(fd, frame))) ::_exit(kSetupFailed);
        ::execl(arguments.at(2).c_str(), "VolumeSmith", "30", static_cast<char*>(nullptr));
        ::_exit(kSetupFailed);
    }
    // The child runs the signed program once it has connected (and sent).
    const std::string exeLink = "/proc/" + std::to_string(child) + "/exe";
    const bool execed = vt::waitUntil([&] {
        std::error_code ec;
        return fs::read_symlink(exeLink, ec) == arguments.at(2);
    });
    Outcome result = kSetupFailed;
    if (execed && (mode == "self" || sendAll(fd, frame))) result = outcome(fd);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return result;
}

// arguments: socket path, connections, result file. As uid 65534, opens the
// connections and sends the request on each, writes "<replied> of <n>" once
// every one was answered or closed, and holds them open until stopped.
VT_CHILD_ROLE(connectionFlood) {
    const int count = std::stoi(arguments.at(1));
    const auto frame = requestFrame();
    std::ofstream result(arguments.at(2));
    if (!becomeNobody()) return kSetupFailed;
    std::vector<int> connections;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || !connectTo(fd, arguments.at(0))) return kSetupFailed;
        sendAll(fd, frame); // a connection closed at once may refuse the bytes
        connections.push_back(fd);
    }
    int replied = 0;
    for (int fd : connections) replied += outcome(fd) == kReplied;
    result << replied << " of " << count << std::flush;
    ::alarm(60);
    ::pause();
    return 0;
}

// arguments: a command. Runs it traced by this process; its exit status.
VT_CHILD_ROLE(traced) {
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::alarm(60);
    for (int status = 0; ::waitpid(child, &status, 0) == child;) {
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
        ::ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
    }
    return kSetupFailed;
}

class AuthorizationE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    }
    // A fresh daemon set-up; the administrator's rules file, when given, with that mode.
    void start(const char* administratorRules = nullptr, unsigned mode = 0644) {
        f_ = std::make_unique<vt::DaemonFixture>();
        const std::string rules = f_->path("authorized-clients");
        f_->setEnvironment("VICAR_AUTHORIZED_CLIENTS_FILE", rules);
        if (administratorRules) vt::writeFile(rules, administratorRules, mode);
        f_->startLauncher();
    }

    // A request every admitted peer gets an answer to (an error reply: the
    // bundle does not exist), run as the given user and groups.
    std::vector<std::string> askCommand(const std::string& program, const std::string& uid,
                                        const std::string& groups = "") const {
        return {"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + uid,
                groups.empty() ? "--clear-groups" : "--groups=" + groups,
                program, "uninstall", "/nonexistent/Missing.app"};
    }
    vt::CommandResult ask(const std::string& program, const std::string& uid, const std::string& groups = "",
                          const std::map<std::string, std::string>& extraEnvironment = {}) const {
        auto environment = f_->environment();
        environment.insert(extraEnvironment.begin(), extraEnvironment.end());
        return vt::runCommand(askCommand(program, uid, groups), environment);
    }

    // The client's executable as Contents/MacOS/VolumeSmith of a bundle with
    // the client application's identifier.
    std::string clientBundle(const std::string& name, bool sign, const std::string& program = "") const {
        const std::string bundle = f_->path(name), exe = bundle + "/Contents/MacOS/VolumeSmith";
        vt::writeFile(bundle + "/Contents/Info.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>CFBundleIdentifier</key><string>com.vandrelsys.VolumeSmith2</string>"
                      "<key>CFBundleExecutable</key><string>VolumeSmith</string></dict></plist>\n");
        vt::writeFile(exe, vt::readFile(program.empty() ? vt::toolPath("vicarctl") : program), 0755);
        if (sign) f_->sign(bundle);
        return exe;
    }

    std::unique_ptr<vt::DaemonFixture> f_;
};

constexpr int kAnswered = 1; // the error reply of the request above
constexpr int kNoReply = 2;

TEST_F(AuthorizationE2E, ShippedAndAdministratorRules) {
    struct Case {
        const char* name;
        const char* rules; // nullptr: no rules file
        unsigned mode;
        const char* uid;
        std::string groups;
        int status;
        const char* logged; // nullptr: nothing checked
    };
    const Case cases[] = {
        {"shipped rules admit root", nullptr, 0, "0", "", kAnswered, nullptr},
        {"shipped rules refuse others", nullptr, 0, kNobody, "", kNoReply, "refused peer uid 65534 pid "},
        {"group rule admits a member", "gid 4242\n", 0644, kNobody, "4242", kAnswered, nullptr},
        {"group rule refuses a non-member", "gid 4242\n", 0644, kNobody, "100", kNoReply, nullptr},
        {"uid rule", "# the operator\nuid 65534\n", 0644, kNobody, "", kAnswered, nullptr},
        {"unknown user never matches", "user no-such-user-here\n", 0644, kNobody, "", kNoReply, nullptr},
        {"a file others may write is ignored", "uid 65534\n", 0666, kNobody, "", kNoReply, "its rules are ignored"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.rules, c.mode);
        auto result = ask(vt::toolPath("vicarctl"), c.uid, c.groups);
        EXPECT_EQ(result.status, c.status) << result.out << result.err << f_->log();
        if (c.logged) {
            EXPECT_TRUE(f_->waitForLog(c.logged)) << f_->log();
        }
    }
}

TEST_F(AuthorizationE2E, TheSignedClientApplication) {
    start();
    const std::string signedExe = clientBundle("VolumeSmith.app", true);
    auto admitted = ask(signedExe, kNobody);
    EXPECT_EQ(admitted.status, kAnswered) << admitted.out << admitted.err << f_->log();

    const std::string unsignedExe = clientBundle("Unsigned.app", false);
    EXPECT_EQ(ask(unsignedExe, kNobody).status, kNoReply);

    // The signed program, but started so that other code runs in it.
    const std::pair<const char*, const char*> loaderVariables[] = {
        {"LD_PRELOAD", "libc.so.6"}, {"LD_LIBRARY_PATH", "/nonexistent"}, {"LD_AUDIT", "/nonexistent.so"}};
    // A sanitizer build's runtime would otherwise refuse to start behind a preload
    // (and count what the preloaded library keeps as leaks).
    const char* sanitizerOptions = std::getenv("ASAN_OPTIONS");
    const std::string preloadable =
        std::string(sanitizerOptions ? sanitizerOptions : "") + ":verify_asan_link_order=0:detect_leaks=0";
    for (const auto& [variable, value] : loaderVariables) {
        auto preloaded = ask(signedExe, kNobody, "", {{variable, value}, {"ASAN_OPTIONS", preloadable}});
        EXPECT_EQ(preloaded.status, kNoReply) << variable << preloaded.err;
    }
    f_->exportEnvironment();
    vt::ChildRole traced("traced", askCommand(signedExe, kNobody));
    const int tracedStatus = traced.wait(std::chrono::seconds(60));
    EXPECT_TRUE(WIFEXITED(tracedStatus) && WEXITSTATUS(tracedStatus) == kNoReply) << tracedStatus;

    // Changed after signing: one more byte at the end still runs.
    std::ofstream(signedExe, std::ios::app) << '\0';
    EXPECT_EQ(ask(signedExe, kNobody).status, kNoReply) << f_->log();
}

// The process that connected runs the signed client, but the request was
// written by other code: its forked parent, or itself before its exec.
TEST_F(AuthorizationE2E, ARequestWrittenBeforeOrBesideTheSignedClientIsRefused) {
    for (const char* mode : {"fork", "self"}) {
        SCOPED_TRACE(mode);
        start(); // a daemon yet to start: it admits the peer only well after the exec
        const std::string signedSleeper = fs::canonical(clientBundle("Sleeper.app", true, "/usr/bin/sleep"));
        f_->exportEnvironment();
        vt::ChildRole attacker("connectThenExecTheSigned", {mode, f_->socketPath(), signedSleeper});
        const int status = attacker.wait(std::chrono::seconds(60));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kClosed) << status << f_->log();
    }
}

// Hundreds of connections of uid 65534, admitted or refused: that user gets
// their own share of connections at most, root is still served, and the
// refusals do not flood the log.
TEST_F(AuthorizationE2E, AConnectionFloodOfOneUserLeavesRootServed) {
    constexpr int kFlood = 300;
    const std::pair<const char*, std::size_t> cases[] = {
        // administrator's rules, replies the flood gets
        {"uid 65534\n", pf::xpc::kMaxPeersPerUid},
        {nullptr, 0},
    };
    for (const auto& [rules, replies] : cases) {
        SCOPED_TRACE(rules ? rules : "shipped rules");
        start(rules);
        const std::string result = f_->path("flood-result");
        vt::ChildRole flood("connectionFlood", {f_->socketPath(), std::to_string(kFlood), result});
        ASSERT_TRUE(vt::runMainLoopUntil([&] { return fs::exists(result) && fs::file_size(result) > 0; },
                                         std::chrono::seconds(60)));
        EXPECT_EQ(vt::readFile(result), std::to_string(replies) + " of " + std::to_string(kFlood));
        auto root = ask(vt::toolPath("vicarctl"), "0");
        EXPECT_EQ(root.status, kAnswered) << root.err << f_->log();
        flood.stop();
        EXPECT_LT(f_->countInLog("refused peer uid 65534 pid "), kFlood / 10) << f_->log();
    }
}

} // namespace
