#pragma once
// UniqueFd-relative file calls that never follow a symlink, retry on EINTR
// and put what failed into *why.
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/Retry.h"
#include "platform/system/UniqueFd.h"

namespace pf::codesign {

// "<what>: <strerror(errno)>".
std::string describeErrno(const std::string& what);

// A folder at a caller-given path (its last component must not be a symlink).
UniqueFd openFolder(const std::string& path, std::string* why);
// The folder of a bundle; an empty path is no bundle.
UniqueFd openBundleFolder(const std::string& bundlePath, std::string* why);
// A folder inside dirFd, never through a symlink.
UniqueFd openFolderAt(int dirFd, const std::string& name, std::string* why);

// The whole of a regular file inside dirFd, at most maxBytes; st receives its
// status when given. Fails on symlinks, fifos, devices and larger files.
std::optional<std::string> readRegularFileAt(int dirFd, const std::string& name, std::size_t maxBytes,
                                             std::string* why, struct stat* st = nullptr);

// Writes name inside dirFd through a temporary file renamed over it, so that
// a reader sees the old bytes or the new, and a symlink at name is replaced,
// never written through.
bool replaceFileAt(int dirFd, const std::string& name, std::string_view bytes, mode_t mode, std::string* why);

// Creates a new file (failing when anything exists at path) with exactly mode.
bool createNewFile(const std::string& path, std::string_view bytes, mode_t mode, std::string* why);

} // namespace pf::codesign
