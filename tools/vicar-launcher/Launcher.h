#pragma once
// What launchd does for on-demand jobs, for machines without a service
// manager that speaks our jobs: hold the listening socket of every Mach
// service of every job, start the job when a client connects, and watch
// its sockets again once it has exited (idle exit, "removeSelf_", a crash).
// A connection that arrives while the job is gone or going waits in the
// socket's backlog, so it is served by the next start.
//
// It also serves the Mach bootstrap (pf::mach::BootstrapServer) and holds the
// port of every Mach service name: a message waiting in one starts the job as
// a connection does. A message that no process of the job ever takes keeps
// the port readable, so a job that declares a name must check it in.
//
// The child gets the launcher's own environment with the job's
// "EnvironmentVariables" over it (so settings such as the VICAR_* folders
// reach the daemon) and the sockets by socket activation (ActivatedSpawn.h).
// A job failing quickly in a row is throttled (pf::launchd::RestartThrottle).
// SIGTERM or SIGINT stops the launcher: its children get SIGTERM, then
// SIGKILL after kStopGrace, the socket files it bound are removed, and it
// exits with status 0.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/launchd/JobDescription.h"
#include "platform/launchd/JobIdentity.h"
#include "platform/launchd/RestartThrottle.h"
#include "platform/mach/BootstrapServer.h"
#include "platform/system/UniqueFd.h"
#include "platform/xpc/ServiceSocket.h"
#include "tools/vicar-launcher/Options.h"

class Launcher {
public:
    static constexpr auto kStopGrace = std::chrono::seconds(5);

    explicit Launcher(LauncherOptions options);
    ~Launcher();
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    // Runs until stopped; the process's exit status: 0 after a clean stop,
    // 1 when the jobs could not be read or a service socket not be made.
    int run();

private:
    struct Service {
        std::string name;
        pf::UniqueFd fd;
        std::optional<pf::xpc::SocketFile> file; // removed at the end when it is still ours
    };
    struct Job {
        pf::launchd::JobDescription description;
        pf::launchd::JobIdentity identity;
        std::vector<Service> services;
        pid_t pid = -1;
        bool watching = false;
        pf::launchd::RestartThrottle throttle;
        pf::UniqueFd retryTimer;
        // The Mach service ports, held here so that messages wait for the
        // job and start it; only the process started last may check in.
        std::vector<std::shared_ptr<pf::mach::Port>> machPorts;
        std::shared_ptr<std::atomic<pid_t>> checkInPid = std::make_shared<std::atomic<pid_t>>(-1);
    };
    using Clock = std::chrono::steady_clock;

    bool loadJobs();
    bool bindSockets();
    bool setUpEvents();
    bool startBootstrap();
    void announceReady();
    void watch(std::size_t index);
    void unwatch(std::size_t index);
    void startJob(std::size_t index, const char* reason);
    void retryLater(std::size_t index, Clock::time_point at);
    void handleSignals();
    void reapChildren();
    void childEnded(std::size_t index, int status);
    void beginStop();
    bool anyRunning() const;
    void removeSocketFiles();
    std::vector<std::string> environmentFor(const Job& job) const;

    LauncherOptions options_;
    std::vector<std::unique_ptr<Job>> jobs_;
    pf::UniqueFd epoll_;
    pf::UniqueFd signals_;
    std::unique_ptr<pf::mach::BootstrapServer> bootstrap_;
    std::string bootstrapPath_;
    bool stopping_ = false;
    std::optional<Clock::time_point> killAt_;
};
