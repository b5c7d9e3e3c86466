#include "platform/dispatch/ThreadState.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/system/Retry.h"

namespace pf::dispatch::detail {

ThreadState readThreadState(pid_t tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    const int fd = retryOnEintr([&] { return ::open(path, O_RDONLY | O_CLOEXEC); });
    if (fd < 0) return ThreadState::Unknown;
    // "tid (name) S ...": the name may hold anything, so the state is the
    // first field after the last ')'. The line's head fits in the buffer.
    char buffer[256];
    const ssize_t n = retryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
    ::close(fd);
    if (n <= 0) return ThreadState::Unknown;
    const std::string_view line(buffer, static_cast<std::size_t>(n));
    const auto close = line.rfind(')');
    if (close == std::string_view::npos || close + 2 >= line.size()) return ThreadState::Unknown;
    switch (line[close + 2]) {
    case 'R':
        return ThreadState::Runnable;
    case 'S':
    case 'D':
        return ThreadState::Waiting;
    default: // stopped, traced, dying: neither
        return ThreadState::Unknown;
    }
}

pid_t currentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

} // namespace pf::dispatch::detail
