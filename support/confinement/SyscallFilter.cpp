#include <fcntl.h>
#include <linux/netlink.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "support/confinement/Confinement.h"

namespace vd::confinement {
namespace {

// What the daemon's code paths call (the run loop, the thread pool, the
// socket layer and its peer checks through /proc, the installer's
// descriptor-relative file work, locks, extended attributes and the system
// log), and what glibc and the sanitizers call under them. Checked with
// `strace -f` over the end-to-end tests, plain and sanitized: no call of a
// confined daemon fails with EPERM. Anything missing would fail so, which
// the code already handles as a failed call.
constexpr const char* kAllowed[] = {
    // descriptors and files
    "read", "write", "readv", "writev", "pread64", "pwrite64", "preadv", "pwritev", "preadv2", "pwritev2", "lseek",
    "close", "close_range", "open", "openat", "openat2", "creat", "stat", "fstat", "lstat", "newfstatat", "statx",
    "statfs", "fstatfs", "getdents64", "readlink", "readlinkat", "access", "faccessat", "faccessat2", "getcwd",
    "chdir", "fchdir", "mkdir", "mkdirat", "rmdir", "unlink", "unlinkat", "rename", "renameat", "renameat2", "link",
    "linkat", "symlink", "symlinkat", "chmod", "fchmod", "fchmodat", "chown", "fchown", "lchown", "fchownat",
    "utimensat", "futimesat", "utimes", "truncate", "ftruncate", "fallocate", "fsync", "fdatasync", "sync_file_range",
    "copy_file_range", "sendfile", "flock", "fcntl", "dup", "dup2", "dup3", "pipe", "pipe2", "ioctl", "umask",
    "getxattr", "lgetxattr", "fgetxattr", "setxattr", "lsetxattr", "fsetxattr", "listxattr", "llistxattr",
    "flistxattr", "removexattr", "lremovexattr", "fremovexattr", "memfd_create", "name_to_handle_at",
    // memory
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise", "mincore", "mlock", "munlock", "membarrier",
    // threads, time and signals
    "futex", "futex_waitv", "set_robust_list", "get_robust_list", "rseq", "set_tid_address", "exit",
    "exit_group", "gettid", "getpid", "getppid", "sched_yield", "sched_getaffinity",
    "sched_getparam", "sched_getscheduler", "nanosleep", "clock_nanosleep", "clock_gettime", "clock_getres",
    "gettimeofday", "time", "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "rt_sigtimedwait", "rt_sigpending",
    "rt_sigsuspend", "sigaltstack", "signalfd4", "restart_syscall", "wait4", "waitid",
    // waiting for events
    "epoll_create", "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait", "epoll_pwait2", "poll", "ppoll",
    "select", "pselect6", "eventfd2", "timerfd_create", "timerfd_settime", "timerfd_gettime",
    // Unix sockets (creation is restricted below), peers through their pidfds
    "bind", "listen", "accept", "accept4", "connect", "getsockopt", "setsockopt", "getsockname", "getpeername",
    "sendmsg", "recvmsg", "sendmmsg", "recvmmsg", "sendto", "recvfrom", "shutdown", "pidfd_open",
    // identity and limits
    "getuid", "geteuid", "getgid", "getegid", "getresuid", "getresgid", "getgroups", "capget", "uname", "getrandom",
    "prctl", "arch_prctl", "prlimit64", "getrlimit", "getrusage", "sysinfo", "times", "getpgrp", "getpgid", "getsid",
    "ioprio_get",
};

// Namespaces are an escape route: clone is allowed for threads only.
constexpr std::uint64_t kNamespaceFlags = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER |
                                          CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWCGROUP;

using Filter = std::unique_ptr<void, void (*)(scmp_filter_ctx)>;

std::string failure(const char* what, int negativeErrno) {
    return std::string(what) + ": " + std::strerror(-negativeErrno);
}

} // namespace

std::string installSyscallFilter() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return std::string("no-new-privileges: ") + std::strerror(errno);
    Filter filter(seccomp_init(SCMP_ACT_ERRNO(EPERM)), seccomp_release);
    if (!filter) return "seccomp_init failed";
    // Every thread, also any a library started before us.
    if (int rc = seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1); rc != 0) return failure("tsync", rc);
    for (const char* name : kAllowed) {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR) continue; // not on this architecture
        if (int rc = seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, number, 0); rc != 0) return failure(name, rc);
    }
    struct Restricted {
        int number;
        scmp_arg_cmp condition;
    };
    // Signals go to the daemon itself (abort, raise) or are the signal-0
    // probe of a peer's existence.
    const auto self = static_cast<scmp_datum_t>(::getpid());
    const Restricted restricted[] = {
        {SCMP_SYS(kill), SCMP_A1(SCMP_CMP_EQ, 0)},
        {SCMP_SYS(kill), SCMP_A0(SCMP_CMP_EQ, self)},
        {SCMP_SYS(tgkill), SCMP_A0(SCMP_CMP_EQ, self)},
        {SCMP_SYS(pidfd_send_signal), SCMP_A1(SCMP_CMP_EQ, 0)},
        {SCMP_SYS(socket), SCMP_A0(SCMP_CMP_EQ, AF_UNIX)},
        {SCMP_SYS(socketpair), SCMP_A0(SCMP_CMP_EQ, AF_UNIX)},
        {SCMP_SYS(clone), SCMP_A0(SCMP_CMP_MASKED_EQ, kNamespaceFlags, 0)},
    };
    for (const auto& r : restricted)
        if (int rc = seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, r.number, 1, r.condition); rc != 0)
            return failure("argument rule", rc);
    // The socket layer asks the kernel (sock_diag) which socket is a peer's
    // end of the connection; no other netlink family is opened.
    if (int rc = seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(socket), 2, SCMP_A0(SCMP_CMP_EQ, AF_NETLINK),
                                  SCMP_A2(SCMP_CMP_EQ, NETLINK_SOCK_DIAG));
        rc != 0)
        return failure("sock_diag", rc);
    // clone3 passes its flags in memory, out of the filter's sight; told it
    // does not exist, glibc starts threads with clone instead.
    if (int rc = seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0); rc != 0)
        return failure("clone3", rc);
#if defined(__SANITIZE_ADDRESS__)
    // LeakSanitizer stops the world at exit by tracing the process's threads.
    seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(ptrace), 0);
#endif
    if (int rc = seccomp_load(filter.get()); rc != 0) return failure("seccomp_load", rc);
    return {};
}

} // namespace vd::confinement
