#pragma once
// The real vicar-launcher run as a child of the test: its standard error
// (and that of the daemons it starts) appended to a file, readiness taken
// from --ready-fd, its end observed through a pidfd, every wait bounded by a
// watchdog. A file, unlike a pipe, holds every line written before an event
// the test observed, so nothing needs catching up.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace vt {

class LauncherProcess {
public:
    static constexpr auto kWatchdog = std::chrono::seconds(20);

    LauncherProcess(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment);
    ~LauncherProcess(); // kills a launcher still running
    LauncherProcess(const LauncherProcess&) = delete;
    LauncherProcess& operator=(const LauncherProcess&) = delete;

    // True once the ready byte came; false when the launcher ended first.
    bool waitReady();
    bool waitForLog(const std::string& fragment, int count = 1) const;
    int countInLog(const std::string& fragment) const;
    std::string log() const;
    // Pids named in "started LABEL (pid N)" lines, in order.
    std::vector<pid_t> startedPids(const std::string& label) const;

    void signal(int sig);
    // The exit status, or 128 + signal; nullopt when the watchdog fired.
    std::optional<int> waitExit();

private:
    TempDir dir_{"vicar-launcher-log"};
    pid_t pid_ = -1;
    pf::UniqueFd pidFd_, readyFd_, logChanges_; // logChanges_: inotify on the log file
    std::optional<int> status_;
};

// A client connection to the service socket NAME.sock of a folder; -1 when
// the connection is refused.
int connectToService(const std::string& serviceFolder, const std::string& name);
// One line (without its newline) read within the watchdog; nullopt at EOF or
// when nothing came in time.
std::optional<std::string> readLine(int fd);

} // namespace vt
