#include "tests/launchd/LauncherProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <stdexcept>

extern char** environ;

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until fd is readable or the deadline passes.
bool readable(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    return left > 0 && ::poll(&p, 1, static_cast<int>(left)) == 1;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

LauncherProcess::LauncherProcess(const std::vector<std::string>& arguments,
                                 const std::map<std::string, std::string>& environment) {
    int ready[2];
    const int logFd = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0 || ::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("cannot make the launcher's log");
    logChanges_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    ::inotify_add_watch(logChanges_.get(), (dir_ / "stderr").c_str(), IN_MODIFY);
    // Built before fork: the child of a threaded program may only exec.
    std::vector<std::string> argv = arguments, envp;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq && !environment.count(std::string(*e, size_t(eq - *e)))) envp.push_back(*e);
    }
    for (const auto& [k, v] : environment) envp.push_back(k + "=" + v);
    auto cArgv = pointers(argv);
    auto cEnv = pointers(envp);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::dup2(logFd, 2);
        ::dup2(ready[1], 3);
        ::execve(cArgv[0], cArgv.data(), cEnv.data());
        ::_exit(127);
    }
    ::close(logFd);
    ::close(ready[1]);
    readyFd_.reset(ready[0]);
    pidFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (!pidFd_ || !logChanges_) throw std::runtime_error("pidfd_open or inotify_init1");
}

LauncherProcess::~LauncherProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool LauncherProcess::waitReady() {
    char byte;
    return readable(readyFd_.get(), Clock::now() + kWatchdog) && ::read(readyFd_.get(), &byte, 1) == 1;
}

std::string LauncherProcess::log() const { return readFile(dir_ / "stderr"); }

int LauncherProcess::countInLog(const std::string& fragment) const {
    const std::string text = log();
    int count = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++count;
    return count;
}

bool LauncherProcess::waitForLog(const std::string& fragment, int count) const {
    const auto deadline = Clock::now() + kWatchdog;
    for (char events[4096];;) {
        // Drained before each look, so that a write after the look is an event still to come.
        while (::read(logChanges_.get(), events, sizeof events) > 0) {
        }
        if (countInLog(fragment) >= count) return true;
        if (!readable(logChanges_.get(), deadline)) return false;
    }
}

std::vector<pid_t> LauncherProcess::startedPids(const std::string& label) const {
    const std::string text = log();
    const std::regex started("started " + std::regex_replace(label, std::regex(R"([.])"), R"(\.)") +
                             R"( \(pid (\d+)\))");
    std::vector<pid_t> pids;
    for (std::sregex_iterator it(text.begin(), text.end(), started), end; it != end; ++it)
        pids.push_back(static_cast<pid_t>(std::stol((*it)[1])));
    return pids;
}

void LauncherProcess::signal(int sig) {
    if (!status_) ::kill(pid_, sig);
}

std::optional<int> LauncherProcess::waitExit() {
    int status = 0;
    if (status_ || !readable(pidFd_.get(), Clock::now() + kWatchdog) || ::waitpid(pid_, &status, 0) != pid_)
        return status_;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

int connectToService(const std::string& serviceFolder, const std::string& name) {
    const std::string path = serviceFolder + "/" + name + ".sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

std::optional<std::string> readLine(int fd) {
    const auto deadline = Clock::now() + LauncherProcess::kWatchdog;
    std::string line;
    for (char c; readable(fd, deadline) && ::read(fd, &c, 1) == 1;) {
        if (c == '\n') return line;
        line.push_back(c);
    }
    return std::nullopt;
}

} // namespace vt
