#pragma once
// Reading job descriptions from a jobs folder as a root process must: the
// folder and each file are owned by root or by the one user they belong to
// and writable by no one else, files are opened relative to the folder
// without following a symlink, and their size is bounded before parsing.
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace pf::launchd::detail {

constexpr std::size_t kMaxJobFileBytes = 1u << 20;
constexpr std::size_t kMaxLabelBytes = 255;

// Non-empty, at most kMaxLabelBytes, no "/" or NUL, not starting with ".".
bool isValidLabel(std::string_view label);

// An owned descriptor of a checked jobs folder.
class JobsFolder {
public:
    // owner: the user besides root who may own the folder and its files.
    static std::optional<JobsFolder> open(const std::string& path, uid_t owner, std::string* why);
    ~JobsFolder();
    JobsFolder(JobsFolder&& other) noexcept;
    JobsFolder& operator=(JobsFolder&&) = delete;
    JobsFolder(const JobsFolder&) = delete;

    int fd() const { return fd_; }
    // The property list in the file `leaf` of the folder; nullopt with the
    // reason in *why when it is missing, unsafe, too large or does not parse.
    std::optional<pf::Value> read(const std::string& leaf, std::string* why) const;

private:
    JobsFolder(int fd, uid_t owner) : fd_(fd), owner_(owner) {}
    int fd_;
    uid_t owner_;
};

} // namespace pf::launchd::detail
