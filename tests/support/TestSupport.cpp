#include "tests/support/TestSupport.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/foundation/Date.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/SystemLog.h"

namespace vt {

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& content, unsigned mode) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    ::chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

struct LogCapture::State {
    mutable std::mutex mutex;
    mutable std::condition_variable cv;
    std::vector<std::string> lines;
};

LogCapture::LogCapture() : state_(new State) {
    pf::setSystemLogSink([s = state_](const std::string& line) {
        std::lock_guard lock(s->mutex);
        s->lines.push_back(line);
        s->cv.notify_all();
    });
}

LogCapture::~LogCapture() {
    pf::setSystemLogSink({});
    delete state_;
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(state_->mutex);
    return state_->lines;
}

bool LogCapture::contains(const std::string& fragment) const { return waitFor(fragment, std::chrono::milliseconds(0)); }

bool LogCapture::waitFor(const std::string& fragment, std::chrono::milliseconds watchdog) const {
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, watchdog, [&] {
        for (const auto& line : state_->lines)
            if (line.find(fragment) != std::string::npos) return true;
        return false;
    });
}

int runInChild(const std::function<int()>& body, std::chrono::seconds watchdog) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::alarm(static_cast<unsigned>(watchdog.count()));
        int status = 99;
        try {
            status = body();
        } catch (...) {
            status = 98;
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
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

bool Event::isSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

bool runMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds watchdog) {
    const auto deadline = std::chrono::steady_clock::now() + watchdog;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pf::RunLoop::current().runUntil(pf::Date::now().addingSeconds(0.05));
    }
    return true;
}

std::string buildDir() {
    if (const char* dir = std::getenv("VICAR_BUILD_DIR")) return dir;
    // tests/test_x lives in <build>/tests/.
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().string();
}

std::string sourceDir() {
    if (const char* dir = std::getenv("VICAR_SOURCE_DIR")) return dir;
    return std::filesystem::path(buildDir()).parent_path().string();
}

bool waitForCount(const std::atomic<int>& counter, int value, std::chrono::milliseconds watchdog) {
    const auto deadline = std::chrono::steady_clock::now() + watchdog;
    while (counter.load() < value) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace vt
