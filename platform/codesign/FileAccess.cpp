#include "platform/codesign/FileAccess.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace pf::codesign {

namespace {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = retryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string temporaryName(const std::string& name) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return "." + name + ".tmp" + std::to_string(random() % 1000000000);
}

} // namespace

std::string describeErrno(const std::string& what) { return what + ": " + std::strerror(errno); }

UniqueFd openFolder(const std::string& path, std::string* why) {
    const int fd = retryOnEintr(
        [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) *why = describeErrno("cannot open the folder " + path);
    return UniqueFd(fd);
}

UniqueFd openBundleFolder(const std::string& bundlePath, std::string* why) {
    if (bundlePath.empty()) {
        *why = "no bundle path";
        return UniqueFd();
    }
    return openFolder(bundlePath, why);
}

UniqueFd openFolderAt(int dirFd, const std::string& name, std::string* why) {
    const int fd = retryOnEintr(
        [&] { return ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) *why = describeErrno("cannot open the folder " + name);
    return UniqueFd(fd);
}

std::optional<std::string> readRegularFileAt(int dirFd, const std::string& name, std::size_t maxBytes,
                                             std::string* why, struct stat* st) {
    // O_NONBLOCK keeps a fifo swapped in after a check from blocking the open.
    UniqueFd fd(retryOnEintr([&] {
        return ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    }));
    if (!fd) {
        *why = describeErrno("cannot open " + name);
        return std::nullopt;
    }
    struct stat local {};
    if (!st) st = &local;
    if (::fstat(fd.get(), st) != 0) {
        *why = describeErrno("cannot read the status of " + name);
        return std::nullopt;
    }
    if (!S_ISREG(st->st_mode)) {
        *why = name + " is not a regular file";
        return std::nullopt;
    }
    if (st->st_size < 0 || static_cast<std::size_t>(st->st_size) > maxBytes) {
        *why = name + " is larger than " + std::to_string(maxBytes) + " bytes";
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(st->st_size), '\0');
    std::size_t done = 0;
    for (;;) {
        // One byte of room past the stated size notices a file that grew.
        if (done == bytes.size()) {
            if (bytes.size() >= maxBytes + 1) break;
            bytes.resize(std::min(maxBytes + 1, bytes.size() + 4096));
        }
        const ssize_t n = retryOnEintr([&] { return ::read(fd.get(), bytes.data() + done, bytes.size() - done); });
        if (n < 0) {
            *why = describeErrno("cannot read " + name);
            return std::nullopt;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done > maxBytes) {
        *why = name + " is larger than " + std::to_string(maxBytes) + " bytes";
        return std::nullopt;
    }
    bytes.resize(done);
    return bytes;
}

bool replaceFileAt(int dirFd, const std::string& name, std::string_view bytes, mode_t mode, std::string* why) {
    const std::string temporary = temporaryName(name);
    UniqueFd fd(retryOnEintr([&] {
        return ::openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    }));
    if (!fd) {
        *why = describeErrno("cannot create " + temporary);
        return false;
    }
    bool ok = ::fchmod(fd.get(), mode) == 0 && writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
    if (ok) ok = ::renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) == 0;
    if (!ok) {
        *why = describeErrno("cannot write " + name);
        ::unlinkat(dirFd, temporary.c_str(), 0); // best effort: the temporary may be gone already
    }
    return ok;
}

bool createNewFile(const std::string& path, std::string_view bytes, mode_t mode, std::string* why) {
    UniqueFd fd(retryOnEintr(
        [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode); }));
    if (!fd) {
        *why = describeErrno("cannot create " + path);
        return false;
    }
    if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0) {
        *why = describeErrno("cannot write " + path);
        ::unlink(path.c_str()); // a half-written key is worse than none
        return false;
    }
    return true;
}

} // namespace pf::codesign
