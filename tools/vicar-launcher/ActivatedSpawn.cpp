#include "tools/vicar-launcher/ActivatedSpawn.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/system/Retry.h"

namespace {

// What the child reports through its close-on-exec pipe when a step fails.
enum class Step : int { MoveDescriptors = 1, Setgroups, Setgid, Setuid, Exec };

const char* stepName(Step step) {
    switch (step) {
    case Step::MoveDescriptors: return "handing over the sockets";
    case Step::Setgroups: return "setgroups";
    case Step::Setgid: return "setgid";
    case Step::Setuid: return "setuid";
    case Step::Exec: return "execv";
    }
    return "starting";
}

struct ChildReport {
    int step;
    int error;
};

// Only async-signal-safe calls from here on: the child of a fork.
[[noreturn]] void failChild(int reportFd, Step step) {
    const ChildReport report{static_cast<int>(step), errno};
    ssize_t ignored = ::write(reportFd, &report, sizeof report);
    (void)ignored; // the parent sees EOF then, and status 127 tells it enough
    ::_exit(127);
}

void formatPid(char* out, pid_t pid) {
    char digits[24];
    int n = 0;
    unsigned long value = static_cast<unsigned long>(pid);
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (n) *out++ = digits[--n];
    *out = '\0';
}

[[noreturn]] void runChild(const SpawnRequest& request, char* const* argv, char* const* envp, char* listenPid,
                           int reportFd) {
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::setsid();

    // Out of the way of 3..3+n first, so that no dup2 below lands on a
    // socket (or the report pipe) still to be moved.
    const int n = static_cast<int>(request.sockets.size());
    reportFd = ::fcntl(reportFd, F_DUPFD_CLOEXEC, 3 + n);
    if (reportFd < 0) ::_exit(127);
    int moved[64];
    for (int i = 0; i < n; ++i) {
        moved[i] = ::fcntl(request.sockets[static_cast<std::size_t>(i)], F_DUPFD_CLOEXEC, 3 + n);
        if (moved[i] < 0) failChild(reportFd, Step::MoveDescriptors);
    }
    for (int i = 0; i < n; ++i) // dup2 leaves the new descriptor without close-on-exec
        if (::dup2(moved[i], 3 + i) < 0) failChild(reportFd, Step::MoveDescriptors);
    // Whatever the launcher itself inherited without close-on-exec stays
    // here: the job gets its sockets and standard descriptors, nothing else.
    if (::syscall(SYS_close_range, 3 + n, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        for (int fd = 3 + n; fd < 4096; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);

    const auto& id = request.identity;
    if (id.switchUser) {
        if (::setgroups(id.groups.size(), id.groups.data()) != 0) failChild(reportFd, Step::Setgroups);
        if (::setgid(id.gid) != 0) failChild(reportFd, Step::Setgid);
        if (::setuid(id.uid) != 0) failChild(reportFd, Step::Setuid);
    } else if (id.switchGroup) {
        if (::setgid(id.gid) != 0) failChild(reportFd, Step::Setgid);
    }

    formatPid(listenPid, ::getpid());
    ::execve(argv[0], argv, envp);
    failChild(reportFd, Step::Exec);
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

pid_t spawnActivated(const SpawnRequest& request, std::string* why) {
    if (request.arguments.empty() || request.sockets.size() > 64) {
        *why = "nothing to start";
        return -1;
    }
    // Everything the child needs is made before the fork.
    std::vector<std::string> arguments = request.arguments;
    std::vector<std::string> environment = request.environment;
    environment.push_back("LISTEN_PID=" + std::string(24, '\0'));
    auto argv = pointers(arguments);
    auto envp = pointers(environment);
    char* listenPid = environment.back().data() + std::strlen("LISTEN_PID=");

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        *why = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        *why = std::string("fork: ") + std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return -1;
    }
    if (pid == 0) {
        ::close(report[0]);
        runChild(request, argv.data(), envp.data(), listenPid, report[1]);
    }
    ::close(report[1]);
    ChildReport childReport{};
    const ssize_t got = pf::retryOnEintr([&] { return ::read(report[0], &childReport, sizeof childReport); });
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childReport)) {
        *why = std::string(stepName(static_cast<Step>(childReport.step))) + " " + request.arguments[0] + ": " +
               std::strerror(childReport.error);
    }
    return pid;
}
