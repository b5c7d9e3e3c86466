#include "tests/support/TestSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "platform/foundation/Date.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/Retry.h"
#include "platform/system/SystemLog.h"

namespace vt {

TempDir::TempDir(const std::string& prefix)
    : path_((std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string()) {
    if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& content, unsigned mode) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content; // closed at the end of the statement
    ::chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

struct LogCapture::Lines {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> all;
};

LogCapture::LogCapture() : lines_(std::make_shared<Lines>()) {
    pf::setSystemLogSink([l = lines_](const std::string& line) {
        std::lock_guard lock(l->mutex);
        l->all.push_back(line);
        l->cv.notify_all();
    });
}

LogCapture::~LogCapture() { pf::setSystemLogSink({}); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(lines_->mutex);
    return lines_->all;
}

bool LogCapture::waitFor(const std::string& fragment, std::chrono::milliseconds watchdog) const {
    const auto hasFragment = [&](const std::string& line) { return line.find(fragment) != std::string::npos; };
    std::unique_lock lock(lines_->mutex);
    return lines_->cv.wait_for(lock, watchdog, [&] { return std::ranges::any_of(lines_->all, hasFragment); });
}

int runInChild(const std::function<int()>& body, std::chrono::seconds watchdog) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::alarm(static_cast<unsigned>(watchdog.count()));
        int status = 98; // what a body that throws ends with
        try {
            status = body();
        } catch (...) {
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    int status = 0;
    pf::retryOnEintr([&] { return ::waitpid(pid, &status, 0); });
    return status;
}

void Event::signal() {
    std::lock_guard lock(mutex_);
    set_ = true;
    cv_.notify_all();
}

bool Event::wait(std::chrono::milliseconds watchdog) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, watchdog, [&] { return set_; });
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds watchdog) {
    const auto deadline = std::chrono::steady_clock::now() + watchdog;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool runMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds watchdog) {
    return waitUntil([&] {
        if (done()) return true;
        pf::RunLoop::current().runUntil(pf::Date::now().addingSeconds(0.05)); // one slice of the loop per look
        return false;
    }, watchdog);
}

bool waitForCount(const std::atomic<int>& counter, int value, std::chrono::milliseconds watchdog) {
    return waitUntil([&] { return counter.load() >= value; }, watchdog);
}

std::string buildDir() {
    if (const char* dir = std::getenv("VICAR_BUILD_DIR")) return dir;
    // tests/test_x lives in <build>/tests/.
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().string();
}

} // namespace vt
