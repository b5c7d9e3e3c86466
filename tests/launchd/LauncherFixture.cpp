#include "tests/launchd/LauncherFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "platform/foundation/PropertyList.h"
#include "tests/support/ScopedEnvironment.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWatchdog = std::chrono::seconds(20);

// Waits until fd is readable or the deadline passes.
bool readable(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    return left > 0 && ::poll(&p, 1, static_cast<int>(left)) == 1;
}

} // namespace

std::string helloField(const std::string& line, const std::string& key) {
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    const size_t from = at + key.size() + 2;
    return line.substr(from, line.find(' ', from) - from);
}

LauncherFixture::~LauncherFixture() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void LauncherFixture::writeJob(const std::string& label, pf::Dictionary job) {
    job.emplace("Label", label);
    writeFile(jobs_ / (label + ".plist"), *pf::xmlPropertyList(job));
}

void LauncherFixture::writeTestJob(const std::string& label, const std::string& mode, pf::Dictionary extra) {
    extra.emplace("ProgramArguments", pf::Array{self(), "--as-test-daemon", mode, label, scratch_ / "marker"});
    extra.emplace("MachServices", pf::Dictionary{{label, true}});
    writeJob(label, std::move(extra));
}

bool LauncherFixture::start() {
    const std::string logFile = scratch_ / "stderr";
    int ready[2];
    const int logFd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0 || ::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("cannot make the launcher's log");
    logChanges_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    ::inotify_add_watch(logChanges_.get(), logFile.c_str(), IN_MODIFY);
    // Built before fork: the child of a threaded program may only exec.
    std::string arguments[] = {buildDir() + "/tools/vicar-launcher", "--jobs", jobs_.path(), "--domain", "system",
                               "--foreground", "--ready-fd", "3"};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    // The test's environment, with the service folder and a variable the jobs must inherit.
    const ScopedEnvironment services("VICAR_SYSTEM_SERVICE_DIR", services_.path()),
        inherited("VICAR_TEST_INHERITED", "yes");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::dup2(logFd, 2);
        ::dup2(ready[1], 3);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(logFd);
    ::close(ready[1]);
    readyFd_.reset(ready[0]);
    pidFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (!pidFd_ || !logChanges_) throw std::runtime_error("pidfd_open or inotify_init1");
    char byte;
    return readable(readyFd_.get(), Clock::now() + kWatchdog) && ::read(readyFd_.get(), &byte, 1) == 1;
}

std::string LauncherFixture::log() const { return readFile(scratch_ / "stderr"); }

int LauncherFixture::countInLog(const std::string& fragment) const { return occurrences(log(), fragment); }

bool LauncherFixture::waitForLog(const std::string& fragment, int count) const {
    const auto deadline = Clock::now() + kWatchdog;
    for (char events[4096];;) {
        // Drained before each look, so that a write after the look is an event still to come.
        while (::read(logChanges_.get(), events, sizeof events) > 0) {
        }
        if (countInLog(fragment) >= count) return true;
        if (!readable(logChanges_.get(), deadline)) {
            ADD_FAILURE() << "no \"" << fragment << "\" in:\n" << log();
            return false;
        }
    }
}

std::optional<int> LauncherFixture::waitExit(int signal) {
    if (signal && !status_) ::kill(pid_, signal);
    int status = 0;
    if (status_ || !readable(pidFd_.get(), Clock::now() + kWatchdog) || ::waitpid(pid_, &status, 0) != pid_)
        return status_;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

bool LauncherFixture::socketExists(const std::string& service) const {
    return std::filesystem::exists(std::filesystem::symlink_status(services_ / (service + ".sock")));
}

pf::UniqueFd LauncherFixture::connect(const std::string& service) const {
    const std::string path = services_ / (service + ".sock");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    pf::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot connect to " << service;
        fd.reset();
    }
    return fd;
}

std::string LauncherFixture::hello(const pf::UniqueFd& client) const {
    const auto deadline = Clock::now() + kWatchdog;
    std::string line;
    for (char c; readable(client.get(), deadline) && ::read(client.get(), &c, 1) == 1;) {
        if (c == '\n') return line;
        line.push_back(c);
    }
    ADD_FAILURE() << "no hello; launcher log:\n" << log();
    return "";
}

} // namespace vt
