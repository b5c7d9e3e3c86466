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

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> all;
    for (char** e = environ; *e; ++e)
        if (const char* eq = std::strchr(*e, '=')) all[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    for (const auto& [k, v] : extra) all[k] = v;
    std::vector<std::string> out;
    for (const auto& [k, v] : all) out.push_back(k + "=" + v);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

LauncherProcess::LauncherProcess(const std::vector<std::string>& arguments,
                                 const std::map<std::string, std::string>& environment) {
    int ready[2], err[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    std::vector<std::string> argv = arguments;
    std::vector<std::string> envp = mergedEnvironment(environment);
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
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidFd_ < 0) throw std::runtime_error("pidfd_open");
    logFd_ = err[0];
    reader_ = std::thread([this] { collect(logFd_); });
}

void LauncherProcess::collect(int fd) {
    // Not only EOF ends the reader: daemons the launcher started may keep
    // standard error open after the launcher itself has gone.
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, 100);
        if (n > 0) {
            // Read and append under one lock, so that catchUp() never sees
            // bytes that have left the pipe but are not yet in the log.
            std::lock_guard lock(mutex_);
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                drained_ = true;
                changed_.notify_all();
                return;
            }
            log_.append(buffer, static_cast<size_t>(got));
            changed_.notify_all();
        } else if (stopReading_) {
            return;
        }
    }
}

LauncherProcess::~LauncherProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
    }
    stopReading_ = true;
    if (reader_.joinable()) reader_.join();
    if (logFd_ >= 0) ::close(logFd_);
    if (readyFd_ >= 0) ::close(readyFd_);
    if (pidFd_ >= 0) ::close(pidFd_);
}

bool LauncherProcess::waitReady() {
    pollfd p{readyFd_, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kWatchdog).count()));
    char byte;
    const bool ready = n == 1 && ::read(readyFd_, &byte, 1) == 1;
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

int LauncherProcess::countInLog(const std::string& fragment) const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (size_t at = log_.find(fragment); at != std::string::npos; at = log_.find(fragment, at + 1)) ++count;
    return count;
}

bool LauncherProcess::waitForLog(const std::string& fragment, int count) {
    const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] {
        int seen = 0;
        for (size_t at = log_.find(fragment); at != std::string::npos; at = log_.find(fragment, at + 1)) ++seen;
        return seen >= count;
    });
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
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kWatchdog).count())) != 1) return std::nullopt;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
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
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<std::string> readLine(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + LauncherProcess::kWatchdog;
    std::string line;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) != 1) return std::nullopt;
        char c;
        if (::read(fd, &c, 1) != 1) return std::nullopt;
        if (c == '\n') return line;
        line.push_back(c);
    }
}

void Fd::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace vt
