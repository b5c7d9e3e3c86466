// The test program's entry: the tests, or a tiny on-demand daemon living in
// the test program itself, which the launcher's jobs run as
// `test_launchd --as-test-daemon MODE SERVICE MARKER`:
// hello: takes its socket by socket activation, accepts one client, writes
//   "hello pid=P uid=U gid=G fds=N names=A:B greeting=... inherited=...
//   extra=FD|none\n" and exits once the client has closed.
// crash-once: aborts when MARKER does not exist yet (creating it), else hello.
// Any other mode exits with status 2.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/xpc/ServiceSocket.h"

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
    const std::string names = env("LISTEN_FDNAMES");
    const int listener = pf::xpc::takeActivatedSocket(service);
    if (listener < 0) return 3;
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, kWatchdogMs) != 1) return 4;
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return 5;
    const std::string line = "hello pid=" + std::to_string(::getpid()) + " uid=" + std::to_string(::getuid()) +
                             " gid=" + std::to_string(::getgid()) + " fds=" + std::to_string(fds) + " names=" + names +
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

} // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "--as-test-daemon") == 0) {
        const std::string mode = argv[2], service = argv[3];
        // crash-once: the marker tells a retry from the first run.
        if (mode == "crash-once" && ::open(argv[4], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) >= 0) crash();
        return mode == "hello" || mode == "crash-once" ? hello(service) : 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
