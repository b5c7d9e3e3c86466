#pragma once
// A child process started with posix_spawn: the executable at an absolute
// path (no search, no shell), the parent's environment, signal dispositions
// reset and no signal blocked, and only the three standard descriptors it is
// given (every other descriptor of ours is close-on-exec). The task is reaped
// by waitUntilExit or, at the latest, by the destructor, so no zombie stays.
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace pf {

class Task {
public:
    // The child's standard input, output and error; -1 means the null device.
    struct Streams {
        int input = -1;
        int output = -1;
        int error = -1;
    };

    // argv is the path followed by the arguments. On failure returns nullptr
    // and sets error to the errno of the failed start.
    static std::unique_ptr<Task> launch(const std::string& path, const std::vector<std::string>& arguments,
                                        const Streams& streams, int& error);
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    pid_t processIdentifier() const { return pid_; }
    // Blocks until the child has ended and returns its termination status:
    // the exit status, or the number of the signal that ended it.
    int waitUntilExit();

private:
    explicit Task(pid_t pid) : pid_(pid) {}
    pid_t pid_;
    bool reaped_ = false;
    int status_ = 0;
};

} // namespace pf
