#include "tests/launchd/LauncherProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
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

constexpr int kWatchdogMs = static_cast<int>(std::chrono::milliseconds(LauncherProcess::kWatchdog).count());

int occurrences(const std::string& text, const std::string& fragment) {
    int count = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++count;
    return count;
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
    int ready[2], err[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
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
        ::dup2(err[1], 2);
        ::dup2(ready[1], 3);
        ::execve(cArgv[0], cArgv.data(), cEnv.data());
        ::_exit(127);
    }
    ::close(ready[1]);
    ::close(err[1]);
    readyFd_ = ready[0];
    logFd_ = err[0];
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidFd_ < 0) throw std::runtime_error("pidfd_open");
    reader_ = std::thread([this] { collect(); });
}

void LauncherProcess::collect() {
    // Not only EOF ends the reader: daemons the launcher started may keep
    // standard error open after the launcher itself has gone.
    char buffer[4096];
    while (!stopReading_) {
        pollfd p{logFd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        // Read and append under one lock, so that catchUp() never sees bytes
        // that have left the pipe but are not yet in the log.
        std::lock_guard lock(mutex_);
        const ssize_t got = ::read(logFd_, buffer, sizeof buffer);
        if (got <= 0) drained_ = true;
        else log_.append(buffer, static_cast<size_t>(got));
        changed_.notify_all();
        if (drained_) return;
    }
}

LauncherProcess::~LauncherProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    stopReading_ = true;
    if (reader_.joinable()) reader_.join();
    for (int fd : {logFd_, readyFd_, pidFd_})
        if (fd >= 0) ::close(fd);
}

bool LauncherProcess::waitReady() {
    pollfd p{readyFd_, POLLIN, 0};
    char byte;
    const bool ready = ::poll(&p, 1, kWatchdogMs) == 1 && ::read(readyFd_, &byte, 1) == 1;
    catchUp();
    return ready;
}

void LauncherProcess::catchUp() {
    // What the launcher wrote before an event we observed is in the pipe or
    // already in the log; wait until the pipe holds nothing more.
    const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
    std::unique_lock lock(mutex_);
    for (;;) {
        int pending = 0;
        if (drained_ || ::ioctl(logFd_, FIONREAD, &pending) != 0 || pending == 0) return;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return;
    }
}

int LauncherProcess::countInLog(const std::string& fragment) const { return occurrences(log(), fragment); }

bool LauncherProcess::waitForLog(const std::string& fragment, int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWatchdog, [&] { return occurrences(log_, fragment) >= count; });
}

std::string LauncherProcess::log() const {
    std::lock_guard lock(mutex_);
    return log_;
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
    if (status_) return status_;
    pollfd p{pidFd_, POLLIN, 0};
    int status = 0;
    if (::poll(&p, 1, kWatchdogMs) != 1 || ::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    catchUp();
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
    const auto deadline = std::chrono::steady_clock::now() + LauncherProcess::kWatchdog;
    std::string line;
    for (char c;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1 || ::read(fd, &c, 1) != 1)
            return std::nullopt;
        if (c == '\n') return line;
        line.push_back(c);
    }
}

} // namespace vt
