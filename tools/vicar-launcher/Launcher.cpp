#include "tools/vicar-launcher/Launcher.h"

#include <signal.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/mach/Bootstrap.h"
#include "platform/system/Retry.h"
#include "platform/system/SystemLog.h"
#include "platform/xpc/ServiceSocket.h"
#include "tools/vicar-launcher/ActivatedSpawn.h"
#include "tools/vicar-launcher/MachLookUpRule.h"

extern char** environ;

namespace {

// epoll tags: the kind in the top byte, then the job, then the service.
constexpr std::uint64_t kSignalTag = 1ull << 56;
constexpr std::uint64_t kSocketKind = 2ull << 56;
constexpr std::uint64_t kTimerKind = 3ull << 56;
constexpr std::uint64_t kKindMask = 0xffull << 56;

std::uint64_t socketTag(std::size_t job, std::size_t service) { return kSocketKind | (job << 16) | service; }
std::uint64_t timerTag(std::size_t job) { return kTimerKind | (job << 16); }
std::size_t jobOfTag(std::uint64_t tag) { return static_cast<std::size_t>((tag & ~kKindMask) >> 16); }

void log(const std::string& line) { pf::systemLog(line); }

std::string errnoText(const char* what) { return std::string(what) + ": " + ::strerror(errno); }

pf::xpc::Domain serviceDomain(pf::launchd::Domain domain) {
    return domain == pf::launchd::Domain::System ? pf::xpc::Domain::System : pf::xpc::Domain::User;
}

std::string describeEnding(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = ::sigabbrev_np(sig);
        return "killed by signal " + std::to_string(sig) + (name ? " (SIG" + std::string(name) + ")" : "");
    }
    return "ended with wait status " + std::to_string(status);
}

bool failed(int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; }

sigset_t handledSignals() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGCHLD);
    ::sigaddset(&set, SIGTERM);
    ::sigaddset(&set, SIGINT);
    return set;
}

} // namespace

Launcher::Launcher(LauncherOptions options) : options_(std::move(options)) {}

Launcher::~Launcher() = default;

int Launcher::run() {
    if (options_.foreground) pf::setSystemLogMirrorsToStderr(true);
    // Signals arrive through the signalfd, so they are blocked before any
    // child exists; SIGPIPE must not end us when the ready reader has gone.
    const sigset_t signals = handledSignals();
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    if (!setUpEvents() || !loadJobs()) return 1;
    if (!bindSockets() || !startBootstrap()) {
        removeSocketFiles();
        return 1;
    }
    for (std::size_t i = 0; i < jobs_.size(); ++i) watch(i);
    announceReady();

    epoll_event events[32];
    while (!(stopping_ && !anyRunning())) {
        int timeoutMs = -1;
        if (killAt_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*killAt_ - Clock::now()).count();
            timeoutMs = left > 0 ? static_cast<int>(left) : 0;
        }
        const int n = ::epoll_wait(epoll_.get(), events, 32, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            log(errnoText("epoll_wait"));
            break;
        }
        if (killAt_ && Clock::now() >= *killAt_) {
            for (const auto& job : jobs_)
                if (job->pid > 0) {
                    log(job->description.label + " (pid " + std::to_string(job->pid) +
                        ") did not stop after SIGTERM; sending SIGKILL");
                    ::kill(job->pid, SIGKILL);
                }
            killAt_.reset();
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t tag = events[i].data.u64;
            const std::size_t index = jobOfTag(tag);
            switch (tag & kKindMask) {
            case kSignalTag:
                handleSignals();
                break;
            case kSocketKind:
                if (!stopping_ && index < jobs_.size() && jobs_[index]->watching) startJob(index, "client connected");
                break;
            case kTimerKind:
                if (index < jobs_.size() && jobs_[index]->retryTimer) {
                    std::uint64_t expirations;
                    ssize_t ignored = ::read(jobs_[index]->retryTimer.get(), &expirations, sizeof expirations);
                    (void)ignored; // non-blocking: nothing to read is harmless
                    if (!stopping_ && jobs_[index]->pid < 0) watch(index);
                }
                break;
            }
        }
    }
    // Sockets close with the jobs; their files go only when they are still ours.
    removeSocketFiles();
    bootstrap_.reset();
    jobs_.clear();
    log("stopped");
    return 0;
}

bool Launcher::setUpEvents() {
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    const sigset_t signals = handledSignals();
    signals_.reset(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!epoll_ || !signals_) {
        log(errnoText("cannot set up the event loop"));
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kSignalTag;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, signals_.get(), &event) != 0) {
        log(errnoText("cannot watch signals"));
        return false;
    }
    return true;
}

bool Launcher::loadJobs() {
    std::vector<std::string> problems;
    auto jobs = pf::launchd::loadJobs(options_.jobsFolder, &problems);
    for (const auto& problem : problems) log("skipping job: " + problem);
    for (auto& description : jobs) {
        const std::string& label = description.label;
        if (description.programArguments.empty()) {
            log(label + ": no \"ProgramArguments\"; the job is skipped");
            continue;
        }
        if (description.programArguments[0].empty() || description.programArguments[0][0] != '/') {
            log(label + ": \"ProgramArguments\" must begin with an absolute path; the job is skipped");
            continue;
        }
        if (description.machServices.empty()) {
            log(label + ": no \"MachServices\", so nothing would start it; the job is skipped");
            continue;
        }
        std::string why;
        auto identity = pf::launchd::resolveJobIdentity(description, &why);
        if (!identity) {
            log(label + ": " + why + "; refusing to start the job");
            continue;
        }
        auto job = std::make_unique<Job>();
        job->description = std::move(description);
        job->identity = *identity;
        for (const auto& name : job->description.machServices) job->services.push_back(Service{name, {}, {}});
        jobs_.push_back(std::move(job));
    }
    if (jobs_.empty()) {
        log("no job to start in " + options_.jobsFolder);
        return false;
    }
    return true;
}

bool Launcher::bindSockets() {
    const auto domain = serviceDomain(options_.domain);
    for (auto& job : jobs_) {
        for (auto& service : job->services) {
            std::string why;
            service.fd.reset(pf::xpc::bindServiceSocket(service.name, domain, &why, &service.file));
            if (!service.fd) {
                log("cannot create service " + service.name + " of " + job->description.label + ": " + why);
                return false;
            }
        }
    }
    return true;
}

bool Launcher::startBootstrap() {
    std::string why;
    bootstrapPath_ = pf::mach::bootstrapSocketPath(serviceDomain(options_.domain), &why);
    if (!bootstrapPath_.empty()) bootstrap_ = pf::mach::BootstrapServer::start(bootstrapPath_, log, &why);
    if (!bootstrap_) {
        log("cannot serve the Mach bootstrap: " + why);
        return false;
    }
    for (auto& job : jobs_)
        for (const auto& service : job->services) {
            auto checkIn = [pid = job->checkInPid](const pf::xpc::PeerCredentials& peer) -> std::optional<std::string> {
                if (peer.pid == pid->load()) return std::nullopt;
                return std::string("not the job's process");
            };
            auto port = bootstrap_->declare(service.name, checkIn, machLookUpRule(service.name));
            if (!port) {
                log("cannot create the Mach port of " + service.name);
                return false;
            }
            job->machPorts.push_back(std::move(port));
        }
    return true;
}

void Launcher::announceReady() {
    std::size_t services = 0;
    for (const auto& job : jobs_) services += job->services.size();
    log("ready: " + std::to_string(services) + " service(s) of " + std::to_string(jobs_.size()) + " job(s) from " +
        options_.jobsFolder);
    if (options_.readyFd < 0) return;
    const char byte = '\n';
    (void)pf::retryOnEintr([&] { return ::write(options_.readyFd, &byte, 1); });
    // Closed so that the children never inherit it.
    ::close(options_.readyFd);
    options_.readyFd = -1;
}

void Launcher::watch(std::size_t index) {
    Job& job = *jobs_[index];
    if (job.watching) return;
    for (std::size_t s = 0; s < job.services.size(); ++s) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = socketTag(index, s);
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, job.services[s].fd.get(), &event) != 0)
            log(job.description.label + ": " + errnoText("cannot watch its socket"));
    }
    for (std::size_t m = 0; m < job.machPorts.size(); ++m) {
        auto end = job.machPorts[m]->receiveEnd();
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = socketTag(index, job.services.size() + m);
        if (!end || ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, end->get(), &event) != 0)
            log(job.description.label + ": " + errnoText("cannot watch its Mach port"));
    }
    job.watching = true;
}

void Launcher::unwatch(std::size_t index) {
    Job& job = *jobs_[index];
    if (!job.watching) return;
    for (auto& service : job.services) ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, service.fd.get(), nullptr);
    for (const auto& port : job.machPorts)
        if (auto end = port->receiveEnd()) ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, end->get(), nullptr);
    job.watching = false;
}

std::vector<std::string> Launcher::environmentFor(const Job& job) const {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const char* equals = ::strchr(*entry, '=');
        if (equals) variables[std::string(*entry, static_cast<std::size_t>(equals - *entry))] = equals + 1;
    }
    // Our own activation, if we were socket-activated, is not the child's.
    variables.erase("LISTEN_PID");
    variables.erase("LISTEN_FDS");
    variables.erase("LISTEN_FDNAMES");
    for (const auto& [name, value] : job.description.environmentVariables) variables[name] = value;
    std::string names;
    for (const auto& service : job.services) names += (names.empty() ? "" : ":") + service.name;
    variables["LISTEN_FDS"] = std::to_string(job.services.size());
    variables["LISTEN_FDNAMES"] = names;
    variables[pf::mach::kBootstrapEnvironmentKey] = bootstrapPath_;
    variables.erase("LISTEN_PID"); // the child writes its own
    std::vector<std::string> out;
    out.reserve(variables.size());
    for (const auto& [name, value] : variables) out.push_back(name + "=" + value);
    return out;
}

void Launcher::startJob(std::size_t index, const char* reason) {
    Job& job = *jobs_[index];
    unwatch(index);
    SpawnRequest request;
    request.arguments = job.description.programArguments;
    request.environment = environmentFor(job);
    for (const auto& service : job.services) request.sockets.push_back(service.fd.get());
    request.identity = job.identity;

    const auto now = Clock::now();
    job.throttle.started(now);
    std::string why;
    const pid_t pid = spawnActivated(request, &why);
    if (pid < 0) {
        log("could not start " + job.description.label + ": " + why);
        // The waiting client keeps the socket readable: try again later, not at once.
        job.throttle.ended(now, true);
        retryLater(index, job.throttle.nextStart().value_or(now + pf::launchd::RestartThrottle::kThrottleInterval));
        return;
    }
    job.pid = pid;
    job.checkInPid->store(pid);
    if (!why.empty())
        log("could not start " + job.description.label + " (pid " + std::to_string(pid) + "): " + why);
    else
        log("started " + job.description.label + " (pid " + std::to_string(pid) + "): " + reason);
}

void Launcher::retryLater(std::size_t index, Clock::time_point at) {
    Job& job = *jobs_[index];
    if (!job.retryTimer) {
        job.retryTimer.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = timerTag(index);
        if (!job.retryTimer || ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, job.retryTimer.get(), &event) != 0) {
            log(job.description.label + ": " + errnoText("cannot make its restart timer") + "; watching it at once");
            job.retryTimer.reset();
            watch(index);
            return;
        }
    }
    auto delay = std::chrono::ceil<std::chrono::nanoseconds>(at - Clock::now()).count();
    if (delay < 1) delay = 1; // zero would disarm the timer
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(delay / 1000000000);
    spec.it_value.tv_nsec = static_cast<long>(delay % 1000000000);
    ::timerfd_settime(job.retryTimer.get(), 0, &spec, nullptr);
}

void Launcher::handleSignals() {
    bool childExited = false;
    signalfd_siginfo info;
    for (;;) {
        const ssize_t n = pf::retryOnEintr([&] { return ::read(signals_.get(), &info, sizeof info); });
        if (n != static_cast<ssize_t>(sizeof info)) break;
        if (info.ssi_signo == SIGCHLD)
            childExited = true;
        else if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT)
            beginStop();
    }
    // One SIGCHLD may stand for several children.
    if (childExited) reapChildren();
}

void Launcher::reapChildren() {
    for (;;) {
        int status = 0;
        const pid_t pid = pf::retryOnEintr([&] { return ::waitpid(-1, &status, WNOHANG); });
        if (pid <= 0) return;
        for (std::size_t i = 0; i < jobs_.size(); ++i)
            if (jobs_[i]->pid == pid) {
                childEnded(i, status);
                break;
            }
    }
}

void Launcher::childEnded(std::size_t index, int status) {
    Job& job = *jobs_[index];
    log(job.description.label + " (pid " + std::to_string(job.pid) + ") " + describeEnding(status));
    job.pid = -1;
    job.checkInPid->store(-1);
    const auto now = Clock::now();
    if (job.throttle.ended(now, failed(status)))
        log(job.description.label + " failed " + std::to_string(job.throttle.quickFailures()) +
            " times in a row soon after starting; it starts at most once per second until it runs well");
    if (stopping_) return;
    // Watched again at once: a client that connected meanwhile is in the
    // backlog and makes the socket readable, so the job starts again.
    const auto next = job.throttle.nextStart();
    if (next && *next > now)
        retryLater(index, *next);
    else
        watch(index);
}

void Launcher::beginStop() {
    if (stopping_) return;
    stopping_ = true;
    log("stopping");
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
        unwatch(i);
        if (jobs_[i]->pid > 0) ::kill(jobs_[i]->pid, SIGTERM);
    }
    if (anyRunning()) killAt_ = Clock::now() + kStopGrace;
}

bool Launcher::anyRunning() const {
    for (const auto& job : jobs_)
        if (job->pid > 0) return true;
    return false;
}

void Launcher::removeSocketFiles() {
    for (auto& job : jobs_)
        for (auto& service : job->services) {
            if (service.file) pf::xpc::removeSocketFile(*service.file);
            service.file.reset();
        }
}
