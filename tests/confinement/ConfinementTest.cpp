// The confinement applied in a forked child, whose calls then show what the
// filter lets through and what the capability sets hold.
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
#include <fstream>
#include <string>

#include "support/confinement/Confinement.h"

namespace {

// Runs probe() in a confined child; returns its exit status (0: as expected,
// 100 + n: probe failed at check n, 99: confining failed).
int inConfinedChild(const std::function<int()>& probe) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!vd::confinement::confineSelf().empty()) ::_exit(99);
        ::_exit(probe());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

// -errno of a call returning -1, else 0 (descriptors it made are closed).
int outcome(long result) {
    if (result < 0) return -errno;
    return 0;
}

std::string statusField(const std::string& status, const std::string& name) {
    const std::size_t at = status.find("\n" + name + ":");
    if (at == std::string::npos) return {};
    const std::size_t start = status.find_first_not_of(" \t", at + name.size() + 2);
    return status.substr(start, status.find('\n', start) - start);
}

TEST(Confinement, RefusesWhatTheDaemonNeverCallsWithEperm) {
    if (vd::confinement::disabledByEnvironment()) GTEST_SKIP() << "confinement is turned off";
    struct Case {
        const char* name;
        std::function<long()> call;
        int expected; // 0: allowed, else -errno
    };
    const Case cases[] = {
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
        {"execve", [] { char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
                         return ::execve("/bin/true", argv, nullptr); }, -EPERM},
        {"a signal-0 probe", [] { return ::kill(1, 0); }, 0},
        {"a signal to another process", [] { return ::kill(::getppid(), SIGCONT); }, -EPERM},
        {"process_vm_readv", [] { return ::syscall(SYS_process_vm_readv, 1, nullptr, 0, nullptr, 0, 0); }, -EPERM},
        {"a thread-style clone3", [] { return ::syscall(SYS_clone3, nullptr, 0); }, -ENOSYS},
#if !defined(__SANITIZE_ADDRESS__)
        {"ptrace", [] { return ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr); }, -EPERM},
#endif
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const int status = inConfinedChild([&] { return outcome(cases[i].call()) == cases[i].expected ? 0 : 1; });
        EXPECT_EQ(status, 0);
    }
}

TEST(Confinement, KeepsOnlyTheInstallersCapabilitiesAndSetsNoNewPrivileges) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    if (vd::confinement::disabledByEnvironment()) GTEST_SKIP() << "confinement is turned off";
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const int status = inConfinedChild([&] {
        std::ifstream in("/proc/self/status");
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return ::write(pipeFds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
    });
    ::close(pipeFds[1]);
    std::string status_text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) status_text.append(buffer, n);
    ::close(pipeFds[0]);
    ASSERT_EQ(status, 0);
    // CAP_CHOWN 0, CAP_DAC_OVERRIDE 1, CAP_DAC_READ_SEARCH 2, CAP_FOWNER 3,
    // CAP_FSETID 4, CAP_SYS_PTRACE 19.
    EXPECT_EQ(statusField("\n" + status_text, "CapEff"), "000000000008001f");
    EXPECT_EQ(statusField("\n" + status_text, "CapPrm"), "000000000008001f");
    EXPECT_EQ(statusField("\n" + status_text, "CapBnd"), "000000000008001f");
    EXPECT_EQ(statusField("\n" + status_text, "CapAmb"), "0000000000000000");
    EXPECT_EQ(statusField("\n" + status_text, "NoNewPrivs"), "1");
    EXPECT_EQ(statusField("\n" + status_text, "Seccomp"), "2");
}

} // namespace
