#pragma once
// Log files: one vdlog_handle per open file. Opening rotates the earlier
// files into five numbered generations and starts a new file with a UTF-8
// byte-order mark; writing formats on the caller's thread and hands the line
// to the handle's own serial queue, which stamps, tags and writes it.
#include <cstdint>
#include <string>

#include "async/Queue.h"

// Bit 0 of the options: whoever opened the file writes its header line.
constexpr std::uint32_t kLogOptionWriteHeader = 1;
// Written whatever the max level, and without a tag.
constexpr std::uint32_t kLogLevelHeader = 0xFFFFFFFF;

struct vdlog_handle {
    vdlog_handle(int fd, std::string path);
    ~vdlog_handle();
    vdlog_handle(const vdlog_handle&) = delete;
    vdlog_handle& operator=(const vdlog_handle&) = delete;

    // Runs the writes of this file one at a time, in submission order.
    VD::async::queue queue;
    // Packed local hour of the last hour line; -1 before the first line.
    // Touched only by the queue's tasks.
    std::int64_t hour_stamp = -1;
    int fd;
    std::uint32_t max_level = 4;
    std::uint32_t options = 7;
    std::string path;
    std::string header;
    // Bytes written since the file's pages were last dropped from the page
    // cache; queue tasks only.
    std::uint64_t uncached_bytes = 0;
};

// Rotates the generations of the canonical path, then opens the path for
// writing (created 0644, close-on-exec, never through a symlink). nullptr
// when the file cannot be opened. A path that is not UTF-8 throws
// utf8::invalid_utf8 from the rotation.
vdlog_handle* vdlog_open(const char* path);
// Queues one line and returns at once; an empty message, a formatting
// failure or a lack of memory drops the line without notice.
void vdlog_write(vdlog_handle* handle, std::uint32_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Waits until every line queued on the handle is written, then closes the
// file and frees the handle. Must not race with vdlog_write on it.
void vdlog_close(vdlog_handle* handle);

// Deletes generation `generation` (when above 3) or shifts it up by one,
// then does the same for each lower one down to the file itself (-1).
// Failures are printed to standard error and rotation goes on.
void vdlog_rotate(const std::string& path, int generation);
// x.log, 2 gives x2.log; trace, 0 gives trace0; n = -1 gives the path itself.
std::string vdlog_rotated_name(const std::string& path, int n);
