// The confinement applied in a forked child, whose calls then show what the
// filter lets through. (The capability sets of a confined daemon are checked
// end to end.)
#include <fcntl.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "support/confinement/Confinement.h"

namespace {

// Runs the call in a confined child; returns its exit status (0: the call
// gave `expected`, 0 or -errno; 1: it did not; 99: confining failed; 200 + n:
// killed by signal n). The child's exit closes what the call made.
int inConfinedChild(const std::function<long()>& call, int expected) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!vd::confinement::confineSelf().empty()) ::_exit(99);
        const long result = call();
        ::_exit((result < 0 ? -errno : 0) == expected ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

TEST(Confinement, RefusesWhatTheDaemonNeverCallsWithEperm) {
    if (vd::confinement::disabledByEnvironment()) GTEST_SKIP() << "confinement is turned off";
    // name, call, outcome (0: allowed, else -errno)
    const std::tuple<const char*, std::function<long()>, int> cases[] = {
        {"a Unix socket", [] { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }, 0},
        {"a Unix socket pair", [] { int s[2]; return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s); }, 0},
        {"a file", [] { return ::open("/proc/self/status", O_RDONLY | O_CLOEXEC); }, 0},
        {"an internet socket", [] { return ::socket(AF_INET, SOCK_STREAM, 0); }, -EPERM},
        {"an IPv6 socket", [] { return ::socket(AF_INET6, SOCK_DGRAM, 0); }, -EPERM},
        {"a routing netlink socket", [] { return ::socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE); }, -EPERM},
        {"a socket-diagnostics netlink socket",
         [] { return ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG); }, 0},
        {"mount", [] { return ::mount("none", "/tmp", "tmpfs", 0, nullptr); }, -EPERM},
        {"module loading", [] { return ::syscall(SYS_finit_module, -1, "", 0); }, -EPERM},
        {"a new namespace", [] { return ::unshare(CLONE_NEWNET); }, -EPERM},
        // A program that ran would end the child with status 1.
        {"execve", [] { char* argv[] = {const_cast<char*>("/bin/false"), nullptr};
                         return ::execve("/bin/false", argv, nullptr); }, -EPERM},
        {"a signal-0 probe", [] { return ::kill(::getppid(), 0); }, 0},
        {"a signal to another process", [] { return ::kill(::getppid(), SIGCONT); }, -EPERM},
        {"process_vm_readv", [] { return ::syscall(SYS_process_vm_readv, 1, nullptr, 0, nullptr, 0, 0); }, -EPERM},
        {"a thread-style clone3", [] { return ::syscall(SYS_clone3, nullptr, 0); }, -ENOSYS},
#if !defined(__SANITIZE_ADDRESS__)
        {"ptrace", [] { return ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr); }, -EPERM},
#endif
    };
    for (const auto& [name, call, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(inConfinedChild(call, expected), 0);
    }
}

} // namespace
