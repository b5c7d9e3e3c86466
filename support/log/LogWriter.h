#pragma once
// The queue side of a log file, internal to the log library.
#include <string>
#include <string_view>

struct vdlog_handle;

// Queues raw bytes (the byte-order mark), written like any line.
void vdlog_write_bytes(vdlog_handle* handle, std::string_view bytes);
// Asks the kernel to drop the file's written pages from the page cache.
void vdlog_drop_cached_pages(int fd);
