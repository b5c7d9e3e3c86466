#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>
#include <utf8cpp/utf8.h>

#include "platform/system/Retry.h"
#include "platform/system/UniqueFd.h"
#include "support/log/LogFile.h"
#include "support/log/LogWriter.h"
#include "support/log/Path.h"
#include "support/text/u8string.h"

namespace {

constexpr const char* kLogQueueName = "com.vandrelsys.log";
// The background class of the task library: logging never competes with work.
constexpr std::int32_t kLogQueuePriority = VD::async::kBackgroundPriority;

// New when its status cannot be read, or when the path is not UTF-8.
bool isNewFile(const char* path) {
    try {
        const u8string checked(path, 0);
        struct stat st;
        return ::lstat(checked.c_str(), &st) != 0;
    } catch (const utf8::exception&) {
        errno = EINVAL;
        return true;
    }
}

int openForLog(const char* path) {
    // O_NOFOLLOW: the daemon runs as root, and a symlink put where the log
    // goes must not redirect its writes.
    return pf::retryOnEintr([&] { return ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644); });
}

// A set-uid program's log belongs to the user who ran it.
void giveToRealUser(int fd) {
    if (::geteuid() != 0 || ::getuid() == 0) return;
    if (::fchown(fd, ::getuid(), ::getgid()) != 0) {
        std::printf("%s: Can't chown file\n", "vdlog_open");
        std::fflush(stdout);
    }
}

} // namespace

vdlog_handle::vdlog_handle(int file, std::string file_path)
    : queue(kLogQueueName, true, kLogQueuePriority), fd(file), path(std::move(file_path)) {}

vdlog_handle::~vdlog_handle() {
    if (fd >= 0) ::close(fd);
}

vdlog_handle* vdlog_open(const char* path) {
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return nullptr;
    }
    vdlog_rotate(vdpath_canonical(path), 4);
    const bool isNew = isNewFile(path);

    pf::UniqueFd fd(openForLog(path));
    if (!fd) return nullptr;
    vdlog_drop_cached_pages(fd.get());
    giveToRealUser(fd.get());

    std::unique_ptr<vdlog_handle> handle;
    try {
        handle = std::make_unique<vdlog_handle>(fd.get(), path);
    } catch (const std::exception&) {
        return nullptr;  // no queue (no memory or no thread): no log
    }
    fd.release();
    if (isNew)
        vdlog_write_bytes(handle.get(), u8string_bom.text());
    else
        ::lseek(handle->fd, 0, SEEK_END);
    return handle.release();
}

void vdlog_close(vdlog_handle* handle) {
    if (handle == nullptr) return;
    handle->queue.wait();
    delete handle;
}
