#pragma once
// The real executables wired together as on a machine: a private folder with
// the service socket folder, the job description, trusted keys, support
// folder and install root; the launcher started on it; the client run as a
// command.
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ipc/VDIPCConnection.h"
#include "platform/foundation/Value.h"
#include "tests/support/TestSupport.h"

namespace vt {

// The daemon's label, service name and seal name.
inline constexpr const char* kLabel = "com.vandrelsys.VolumeSmith.vicar";

struct CommandResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program with extra environment, capturing its output; a watchdog
// ends it (SIGALRM) when it takes longer.
CommandResult runCommand(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                         int watchdogSeconds = 60);

std::string toolPath(const std::string& name);

// Pids of the daemons a launcher log says it started, in order.
std::vector<pid_t> daemonPidsInLog(const std::string& log);

// A client connection to the daemon's service whose envelopes carry the seal
// of `seal` (none for ""), as a client application's do; nullptr when none.
std::shared_ptr<VDIPCConnection> connectSealed(const std::string& seal = kLabel);

class DaemonFixture {
public:
    explicit DaemonFixture(int timeOut = 30); // the job's "TimeOut"
    ~DaemonFixture(); // ends the launcher, if started

    const std::string& work() const { return dir_.path(); }
    std::string path(const std::string& leaf) const { return dir_ / leaf; }
    std::string daemonPath() const { return dir_ / "bin/com.vandrelsys.VolumeSmith.vicar"; }
    std::string socketPath() const { return dir_ / "services/com.vandrelsys.VolumeSmith.vicar.sock"; }
    std::string rootPath() const { return dir_ / "root"; }
    const std::map<std::string, std::string>& environment() const { return env_; }
    // Puts the fixture's environment into this process's, for the clients it starts.
    void exportEnvironment() const;
    void setEnvironment(const std::string& key, const std::string& value) { env_[key] = value; }

    // Returns once the launcher's sockets listen.
    void startLauncher();
    // Instead of the launcher: systemd's socket-activation tool (at `tool`)
    // holds the service socket and execs the daemon on the first connection.
    void startSocketActivated(const std::string& tool);
    // Everything the launcher and the daemons it started wrote to stderr.
    std::string log() const;
    int countInLog(const std::string& fragment) const;
    bool waitForLog(const std::string& fragment, int count = 1) const; // watchdog 20 s
    std::vector<pid_t> daemonPids() const { return daemonPidsInLog(log()); }

    CommandResult client(const std::vector<std::string>& arguments) const;
    CommandResult install(const std::string& bundle) const { return client({"install", bundle, "--root", rootPath()}); }

    // Sends one sealed message built here (entries as given) from a fresh
    // process through the IPC library, as the application would, and waits
    // for its reply: "ok", "<error domain> <code> <failure reason>", or "no reply".
    std::string sendRaw(const std::string& type, const pf::Dictionary& entries) const;

    // A signed bundle at work()/name with the given files (relative path ->
    // content) and BOM (Contents/Resources/BOM.plist; none for a null value).
    std::string makeBundle(const std::string& name, const std::map<std::string, std::string>& files,
                           const pf::Value& bom) const;
    void sign(const std::string& bundle) const;

private:
    // Runs the launcher (or what stands in for it) until its log shows `readyLine`.
    void start(const std::vector<std::string>& argv, const std::string& readyLine);

    TempDir dir_;
    std::map<std::string, std::string> env_;
    pid_t launcher_ = -1;
    mutable int rawRequests_ = 0;
};

} // namespace vt
