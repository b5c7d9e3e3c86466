#pragma once
// Facts about the file system that holds a path or descriptor.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace pf {

// The fundamental block size (statfs f_frsize, else f_bsize); nullopt when unreadable.
std::optional<std::uint64_t> fileSystemBlockSize(int fd);
// Whether files over 4,294,967,295 bytes fit (pathconf _PC_FILESIZEBITS
// above 33); nullopt when the limit is not known.
std::optional<bool> fileSystemSupportsLargeFiles(const std::string& path);
// The label of the file system on the device (udev's /dev/disk/by-label
// links, escapes decoded); nullopt when it has none.
std::optional<std::string> fileSystemLabel(dev_t device);

} // namespace pf
