#include "platform/launchd/JobFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/foundation/PropertyList.h"
#include "platform/system/Retry.h"

namespace pf::launchd::detail {

namespace {

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Root or the folder's user may own it; nobody else may write it.
bool trustworthy(const struct stat& st, uid_t owner, std::string* why) {
    if (st.st_uid != 0 && st.st_uid != owner) {
        *why = "owned by uid " + std::to_string(st.st_uid);
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *why = "writable by group or others";
        return false;
    }
    return true;
}

} // namespace

bool isValidLabel(std::string_view label) {
    return !label.empty() && label.size() <= kMaxLabelBytes && label.front() != '.' &&
           label.find('/') == std::string_view::npos && label.find('\0') == std::string_view::npos;
}

std::optional<JobsFolder> JobsFolder::open(const std::string& path, uid_t owner, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *why = errnoText("cannot open");
        return std::nullopt;
    }
    JobsFolder folder(fd, owner);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *why = errnoText("cannot examine");
        return std::nullopt;
    }
    if (!trustworthy(st, owner, why)) return std::nullopt;
    return folder;
}

JobsFolder::~JobsFolder() {
    if (fd_ >= 0) ::close(fd_);
}

JobsFolder::JobsFolder(JobsFolder&& other) noexcept : fd_(std::exchange(other.fd_, -1)), owner_(other.owner_) {}

std::optional<pf::Value> JobsFolder::read(const std::string& leaf, std::string* why) const {
    // O_NONBLOCK: a FIFO planted under the name must not hang the reader.
    const int fd = ::openat(fd_, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *why = errno == ELOOP ? "is a symbolic link" : errnoText("cannot open");
        return std::nullopt;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *why = errnoText("cannot examine");
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "is not a regular file";
        return std::nullopt;
    }
    if (!trustworthy(st, owner_, why)) return std::nullopt;
    if (static_cast<std::uint64_t>(st.st_size) > kMaxJobFileBytes) {
        *why = "is larger than " + std::to_string(kMaxJobFileBytes) + " bytes";
        return std::nullopt;
    }
    std::string bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t n = pf::retryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (n < 0) {
            *why = errnoText("cannot read");
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxJobFileBytes) {
            *why = "grew while being read";
            return std::nullopt;
        }
    }
    PropertyListLimits limits;
    limits.maxBytes = kMaxJobFileBytes;
    limits.maxObjects = 1u << 14;
    limits.maxDepth = 16;
    auto value = propertyListFromBytes(std::string_view(bytes), limits);
    if (!value) *why = "is not a property list";
    return value;
}

} // namespace pf::launchd::detail
