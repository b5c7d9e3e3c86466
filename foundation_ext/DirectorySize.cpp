#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "foundation_ext/FileManagerExtensions.h"
#include "foundation_ext/ParallelWalk.h"
#include "platform/system/Catalog.h"
#include "platform/system/FileSystemFacts.h"
#include "platform/system/UniqueFd.h"

namespace {

constexpr int kParameterError = -50;
constexpr std::uint64_t kDefaultBlockSize = 4096;
// Bounds against hostile trees: deeper folders and larger folders count 0.
constexpr int kMaxDepth = 256;
constexpr std::size_t kMaxEntriesPerDirectory = 10'000'000;

enum class SizeMode { Logical, Physical };

std::uint64_t roundUp(std::uint64_t value, std::uint64_t block) { return (value + block - 1) / block * block; }

// Linux has no resource fork; with its sizes 0 the rule's second term and
// second rounding drop out.
std::uint64_t itemSize(const pf::catalog::Entry& entry, SizeMode mode, std::uint64_t block) {
    if (mode == SizeMode::Logical) return entry.logicalSize;
    if (entry.physicalSize >= entry.logicalSize) return entry.physicalSize;
    return roundUp(entry.logicalSize, block);
}

std::uint64_t directorySize(int directoryFd, dev_t device, SizeMode mode, std::uint64_t block, int depth);

std::uint64_t subdirectorySize(int directoryFd, const pf::catalog::Entry& entry, dev_t device, SizeMode mode,
                               std::uint64_t block, int depth) {
    if (entry.device != device) return 0;
    pf::UniqueFd child(::openat(directoryFd, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return child ? directorySize(child.get(), device, mode, block, depth + 1) : 0;
}

// The starting folder's subfolders are measured side by side; below them
// each walk is sequential, which keeps one descriptor per level per thread.
std::uint64_t directorySize(int directoryFd, dev_t device, SizeMode mode, std::uint64_t block, int depth) {
    std::vector<pf::catalog::Entry> entries;
    if (depth > kMaxDepth || pf::catalog::readDirectory(directoryFd, entries, true, kMaxEntriesPerDirectory) != 0)
        return 0;
    std::uint64_t total = 0;
    std::vector<const pf::catalog::Entry*> subdirectories;
    for (const auto& entry : entries) {
        if (entry.type != S_IFDIR)
            total += itemSize(entry, mode, block);
        else if (depth > 0)
            total += subdirectorySize(directoryFd, entry, device, mode, block, depth);
        else
            subdirectories.push_back(&entry);
    }
    std::atomic<std::uint64_t> subtotal{0};
    forEachIndexInParallel(subdirectories.size(), [&](std::size_t i) {
        subtotal += subdirectorySize(directoryFd, *subdirectories[i], device, mode, block, depth);
    });
    return total + subtotal;
}

std::uint64_t sizeOf(const std::string& path, SizeMode mode) {
    if (path.empty()) {
        errno = kParameterError;
        return 0;
    }
    pf::UniqueFd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return 0;
    pf::catalog::Entry top;
    if (int error = pf::catalog::statEntry(fd.get(), "", top); error != 0) {
        errno = error;
        return 0;
    }
    const std::uint64_t block = pf::fileSystemBlockSize(fd.get()).value_or(kDefaultBlockSize);
    if (top.type != S_IFDIR) return itemSize(top, mode, block);
    pf::UniqueFd directory(::openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) return 0;
    return directorySize(directory.get(), top.device, mode, block, 0);
}

} // namespace

std::optional<std::uint32_t> itemCountForDirectory(const std::string& path) {
    pf::UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<pf::catalog::Entry> entries;
    if (!directory || pf::catalog::readDirectory(directory.get(), entries, false, kMaxEntriesPerDirectory) != 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(entries.size());
}

std::uint64_t logicalSizeOfDirectory(const std::string& path) { return sizeOf(path, SizeMode::Logical); }

std::uint64_t physicalSizeOfDirectory(const std::string& path) { return sizeOf(path, SizeMode::Physical); }
