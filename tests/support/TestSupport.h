#pragma once
// Shared helpers of the test programs: private temporary folders, captured
// log lines, child processes and waits with a watchdog.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vt {

// A private folder (mode 0700, root-owned when tests run as root), removed
// with its content when the object goes away.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "vicar-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& leaf) const { return path_ + "/" + leaf; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string readFile(const std::string& path);
// How many times `part` occurs in `text` (overlapping ones included).
int occurrences(const std::string& text, const std::string& part);

// Captures every system-log line while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    bool contains(const std::string& fragment) const { return waitFor(fragment, std::chrono::milliseconds(0)); }
    // Waits (up to the watchdog) until a line containing the fragment arrives.
    bool waitFor(const std::string& fragment, std::chrono::milliseconds watchdog = std::chrono::seconds(10)) const;

private:
    struct Lines;
    std::shared_ptr<Lines> lines_; // shared with the sink, which may be writing a line as this goes
};

// Runs the function in a forked child; returns the raw wait status. The
// child's exit status is the function's return value; a watchdog kills it.
int runInChild(const std::function<int()>& body, std::chrono::seconds watchdog = std::chrono::seconds(30));

// Waits (looking every millisecond, with a watchdog) until the predicate holds.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds watchdog = std::chrono::seconds(10));

// Waits (with a watchdog) until the counter reaches the value.
bool waitForCount(const std::atomic<int>& counter, int value,
                  std::chrono::milliseconds watchdog = std::chrono::seconds(10));

// A one-shot event with a watchdog wait, for callbacks on other threads. A
// waiter may destroy it as soon as its wait returns: signal() touches nothing
// once it lets go of the lock.
class Event {
public:
    void signal();
    bool wait(std::chrono::milliseconds watchdog = std::chrono::seconds(10));

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

// Runs the main thread's run loop until the predicate holds or the watchdog fires.
bool runMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds watchdog = std::chrono::seconds(10));

// The build folder (VICAR_BUILD_DIR from ctest, else derived from the test's own path).
std::string buildDir();

} // namespace vt
