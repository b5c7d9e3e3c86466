#pragma once
// The real vicar-launcher run as a child of the test: its standard error
// collected line by line, readiness taken from --ready-fd, its end observed
// through a pidfd, every wait bounded by a watchdog.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
    bool waitForLog(const std::string& fragment, int count = 1);
    int countInLog(const std::string& fragment) const;
    std::string log() const;
    // Pids named in "started LABEL (pid N)" lines, in order.
    std::vector<pid_t> startedPids(const std::string& label) const;

    void signal(int sig);
    // The exit status, or 128 + signal; nullopt when the watchdog fired.
    std::optional<int> waitExit();

private:
    void collect();
    // Returns once every byte written to standard error so far is in log_.
    void catchUp();

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int readyFd_ = -1;
    int logFd_ = -1;
    bool drained_ = false; // guarded by mutex_
    std::atomic<bool> stopReading_{false};
    std::optional<int> status_;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string log_;
};

// A client connection to the service socket NAME.sock of a folder; -1 when
// the connection is refused.
int connectToService(const std::string& serviceFolder, const std::string& name);
// One line (without its newline) read within the watchdog; nullopt at EOF or
// when nothing came in time.
std::optional<std::string> readLine(int fd);

} // namespace vt
