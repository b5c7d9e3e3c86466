#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/system/Retry.h"
#include "support/log/LogFile.h"
#include "support/log/LogLine.h"
#include "support/log/LogWriter.h"

namespace {

// Room for the hour line, the prefix, the tag and the newline.
constexpr std::size_t kLineOverheadBytes = 70;
// Linux has no per-descriptor switch for the page cache: the written pages
// are dropped every this many bytes instead (the call starts their write-back
// and drops those already clean), which keeps a log's cached pages bounded
// without a system call per line.
constexpr std::uint64_t kDropCacheEveryBytes = 256 * 1024;

// One write, repeated while a signal interrupts it; any other failure loses
// the line, as a log must not stop its program.
void writeAll(vdlog_handle& handle, std::string_view bytes) {
    const ssize_t n = pf::retryOnEintr([&] { return ::write(handle.fd, bytes.data(), bytes.size()); });
    if (n <= 0) return;
    handle.uncached_bytes += static_cast<std::uint64_t>(n);
    if (handle.uncached_bytes >= kDropCacheEveryBytes) {
        vdlog_drop_cached_pages(handle.fd);
        handle.uncached_bytes = 0;
    }
}

void writeLine(vdlog_handle& handle, std::uint32_t level, const std::string& message, const timeval& when) {
    if (level > handle.max_level && level != kLogLevelHeader) return;
    if (message.empty()) return;
    std::string line;
    try {
        line.reserve(message.size() + kLineOverheadBytes);
        vdlog_compose_line(line, handle.hour_stamp, level, message, when);
    } catch (const std::bad_alloc&) {
        return;
    }
    writeAll(handle, line);
}

// Formats into a heap string; empty on failure or without memory.
std::string formatMessage(const char* format, va_list args) noexcept {
    char small[256];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    std::string message;
    try {
        if (n > 0 && static_cast<std::size_t>(n) < sizeof small) {
            message.assign(small, static_cast<std::size_t>(n));
        } else if (n > 0) {
            message.resize(static_cast<std::size_t>(n));
            std::vsnprintf(message.data(), message.size() + 1, format, again);
        }
    } catch (const std::bad_alloc&) {
        message.clear();
    }
    va_end(again);
    return message;
}

} // namespace

void vdlog_drop_cached_pages(int fd) {
    // Advice only: failing to drop pages costs memory, never a line.
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

void vdlog_write_bytes(vdlog_handle* handle, std::string_view bytes) {
    try {
        handle->queue.submit(VD::async::task([handle, bytes = std::string(bytes)] { writeAll(*handle, bytes); }));
    } catch (const std::exception&) {
        // Lost like any line that cannot be queued.
    }
}

void vdlog_write(vdlog_handle* handle, std::uint32_t level, const char* format, ...) {
    if (handle == nullptr || format == nullptr) return;
    timeval when{};
    ::gettimeofday(&when, nullptr);
    va_list args;
    va_start(args, format);
    std::string message = formatMessage(format, args);
    va_end(args);
    if (message.empty()) return;
    try {
        handle->queue.submit(VD::async::task([handle, level, message = std::move(message), when] {
            writeLine(*handle, level, message, when);
        }));
    } catch (const std::exception&) {
        // Logging never fails towards its caller: the line is lost.
    }
}
