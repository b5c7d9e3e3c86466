#pragma once
// Bulk catalog reads of one directory: its entries from getdents64 and, for
// each, type, sizes and device from statx relative to the directory's
// descriptor, never following a symlink. This is what the file-system
// queries read instead of a catalog-information interface.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pf::catalog {

struct Entry {
    std::string name;
    mode_t type = 0;                 // S_IFDIR, S_IFREG, S_IFLNK...
    std::uint64_t logicalSize = 0;   // bytes
    std::uint64_t physicalSize = 0;  // bytes allocated
    dev_t device = 0;
};

// Every entry but "." and "..", in directory order. withSizes=false reads
// names and types only (from getdents64, statx only where the file system
// does not report a type). Returns 0, or the errno of the failed read, in
// which case entries hold what had been read. More than maxEntries is E2BIG.
int readDirectory(int directoryFd, std::vector<Entry>& entries, bool withSizes, std::size_t maxEntries);

// Type and sizes of one item relative to a directory (no symlink followed;
// an empty name is the descriptor's own item); 0 or an errno.
int statEntry(int directoryFd, const char* name, Entry& entry);

// Opens a path below the directory without following any symlink on the way
// and without leaving the directory (openat2 RESOLVE_NO_SYMLINKS |
// RESOLVE_BENEATH); -1 with errno on failure. O_CLOEXEC is always added.
int openBeneath(int directoryFd, const char* relativePath, int flags);

} // namespace pf::catalog
