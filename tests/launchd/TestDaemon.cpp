// The test program's entry: the tests, or the test daemon of TestDaemon.h.
#include "tests/launchd/TestDaemon.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/xpc/ServiceSocket.h"

namespace vt {

std::vector<std::string> testDaemonArguments(const std::string& executable, const std::string& mode,
                                             const std::string& service, const std::string& marker) {
    std::vector<std::string> out = {executable, "--as-test-daemon", mode, service};
    if (!marker.empty()) out.push_back(marker);
    return out;
}

std::string helloField(const std::string& line, const std::string& key) {
    const std::string tag = " " + key + "=";
    const size_t at = line.find(tag);
    if (at == std::string::npos) return "";
    const size_t from = at + tag.size();
    return line.substr(from, line.find(' ', from) - from);
}

} // namespace vt

namespace {

constexpr int kWatchdogMs = 30000;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

[[noreturn]] void crash() {
    rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    std::abort();
}

int hello(const std::string& service) {
    const int fds = std::atoi(env("LISTEN_FDS").c_str());
    // Nothing but the handed-over sockets may survive the exec.
    std::string extra = "none";
    for (int fd = 3 + fds; fd < 1024; ++fd)
        if (::fcntl(fd, F_GETFD) >= 0) {
            extra = std::to_string(fd);
            break;
        }
    const std::string listenPid = env("LISTEN_PID") == std::to_string(::getpid()) ? "yes" : "no";
    const std::string names = env("LISTEN_FDNAMES");
    const int listener = pf::xpc::takeActivatedSocket(service);
    if (listener < 0) return 3;
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, kWatchdogMs) != 1) return 4;
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return 5;
    const std::string line = "hello pid=" + std::to_string(::getpid()) + " listenpid=" + listenPid +
                             " uid=" + std::to_string(::getuid()) + " gid=" + std::to_string(::getgid()) +
                             " fds=" + std::to_string(fds) + " names=" + names +
                             " greeting=" + env("VICAR_TEST_GREETING") + " inherited=" + env("VICAR_TEST_INHERITED") +
                             " extra=" + extra + "\n";
    if (::write(client, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 6;
    // Stays until the client has gone, so tests decide when this run ends.
    pollfd c{client, POLLIN, 0};
    char byte;
    while (::poll(&c, 1, kWatchdogMs) == 1 && ::read(client, &byte, 1) > 0) {
    }
    return 0;
}

int runTestDaemon(int argc, char** argv) {
    if (argc < 4) return 2;
    const std::string mode = argv[2];
    const std::string service = argv[3];
    if (mode == "hello") return hello(service);
    if (mode == "crash") crash();
    if (mode == "crash-once" && argc >= 5) {
        const int marker = ::open(argv[4], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (marker >= 0) crash();
        return hello(service);
    }
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--as-test-daemon") == 0) return runTestDaemon(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
