#pragma once
// The real vicar-launcher run as a child of the test on a folder of jobs and
// one of service sockets: its standard error (and that of the daemons it
// starts) appended to a file, readiness taken from --ready-fd, its end
// observed through a pidfd, every wait bounded by a watchdog. A file, unlike
// a pipe, holds every line written before an event the test observed, so
// nothing needs catching up.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/system/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace vt {

// This test program, which is also the jobs' daemon (see TestDaemon.cpp).
inline std::string self() { return std::filesystem::read_symlink("/proc/self/exe").string(); }
// The value of `key=` in the test daemon's hello line, or "".
std::string helloField(const std::string& line, const std::string& key);

class LauncherFixture : public ::testing::Test {
protected:
    ~LauncherFixture() override; // kills a launcher still running

    void writeJob(const std::string& label, pf::Dictionary job);
    // A job running the test daemon for one service of its own name.
    void writeTestJob(const std::string& label, const std::string& mode, pf::Dictionary extra = {});
    // Starts the launcher: true once the ready byte came, false when it ended first.
    bool start();
    // Each wait below that times out is a test failure showing the log.
    bool waitForLog(const std::string& fragment, int count = 1) const;
    int countInLog(const std::string& fragment) const;
    std::string log() const;
    // Sends the signal (0: none), then the exit status, or 128 + signal; nullopt on the watchdog.
    std::optional<int> waitExit(int signal = 0);
    bool socketExists(const std::string& service) const;
    pf::UniqueFd connect(const std::string& service) const;
    // The line (without its newline) the test daemon greets a client with.
    std::string hello(const pf::UniqueFd& client) const;

    TempDir jobs_{"vicar-launcher-jobs"}, services_{"vicar-launcher-services"}, scratch_{"vicar-scratch"};

private:
    pid_t pid_ = -1;
    pf::UniqueFd pidFd_, readyFd_, logChanges_; // logChanges_: inotify on the log file
    std::optional<int> status_;
};

} // namespace vt
