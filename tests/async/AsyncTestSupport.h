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
#include <utility>
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

// Standard output and error go to the files until restore() or destruction
// (for a child process started meanwhile).
class Redirect {
public:
    Redirect(const std::string& out, const std::string& err)
        : savedOut_(::fcntl(1, F_DUPFD_CLOEXEC, 0)), savedErr_(::fcntl(2, F_DUPFD_CLOEXEC, 0)) {
        std::cout.flush();
        for (auto [path, fd] : {std::pair{out, 1}, std::pair{err, 2}}) {
            const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ::dup2(file, fd);
            ::close(file);
        }
    }
    ~Redirect() { restore(); }
    void restore() {
        if (savedOut_ < 0) return;
        ::dup2(savedOut_, 1);
        ::dup2(savedErr_, 2);
        ::close(savedOut_);
        ::close(savedErr_);
        savedOut_ = savedErr_ = -1;
    }

private:
    int savedOut_, savedErr_;
};

// The lines of the text that begin with the prefix.
inline std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

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
