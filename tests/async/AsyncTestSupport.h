#pragma once
// Helpers of the task-library tests: a watchdog around calls that could
// hang, standard output captured into a memfd, and the process's thread names.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

namespace vt::async {

// Runs body on a thread of its own; if it has not returned when the watchdog
// fires, the test program ends (a hung queue would otherwise hang ctest).
inline void within(const std::function<void()>& body, std::chrono::seconds watchdog = std::chrono::seconds(20)) {
    vt::Event done;
    std::thread runner([&] {
        body();
        done.signal();
    });
    if (!done.wait(watchdog)) {
        std::fprintf(stderr, "watchdog: a call did not return\n");
        std::abort();
    }
    runner.join();
}

// Polls the predicate until it holds or the watchdog fires.
inline bool eventually(const std::function<bool()>& holds, std::chrono::seconds watchdog = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + watchdog;
    while (!holds()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Standard output goes to a memfd while the object lives.
class CapturedStdout {
public:
    CapturedStdout() : fd_(::memfd_create("stdout", MFD_CLOEXEC)), saved_(::fcntl(1, F_DUPFD_CLOEXEC, 0)) {
        std::cout.flush();
        ::dup2(fd_, 1);
    }
    ~CapturedStdout() {
        std::cout.flush();
        ::dup2(saved_, 1);
        ::close(saved_);
        ::close(fd_);
    }
    std::string text() const {
        std::cout.flush();
        std::string out(static_cast<std::size_t>(::lseek(fd_, 0, SEEK_END)), '\0');
        if (::pread(fd_, out.data(), out.size(), 0) < 0) out.clear();
        return out;
    }

private:
    int fd_;
    int saved_;
};

// The names (comm) of this process's threads.
inline std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) return names;
    while (dirent* e = ::readdir(tasks)) {
        if (e->d_name[0] == '.') continue;
        std::string name = vt::readFile(std::string("/proc/self/task/") + e->d_name + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.push_back(name);
    }
    ::closedir(tasks);
    return names;
}

inline long countThreadsNamed(const std::string& name) {
    long n = 0;
    for (const auto& t : threadNames()) n += t == name;
    return n;
}

} // namespace vt::async
