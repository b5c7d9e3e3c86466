#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "foundation_ext/FileManagerExtensions.h"
#include "foundation_ext/ParallelWalk.h"
#include "platform/system/Catalog.h"
#include "platform/system/Retry.h"
#include "platform/system/UniqueFd.h"

namespace {

constexpr int kMaxDepth = 256;
constexpr std::size_t kMaxSubpaths = 10'000'000;
// Larger than the platform's 4096-byte chunks; only the speed differs.
constexpr std::size_t kChunkBytes = 64 * 1024;

struct Subpath {
    std::string path;
    mode_t type;
};

bool listSubpaths(int directoryFd, const std::string& prefix, int depth, std::vector<Subpath>& out) {
    if (depth > kMaxDepth) return false;
    std::vector<pf::catalog::Entry> entries;
    if (pf::catalog::readDirectory(directoryFd, entries, false, kMaxSubpaths) != 0) return false;
    for (auto& entry : entries) {
        if (out.size() >= kMaxSubpaths) return false;
        std::string path = prefix + entry.name;
        if (entry.type == S_IFDIR) {
            pf::UniqueFd child(pf::catalog::openBeneath(directoryFd, entry.name.c_str(), O_RDONLY | O_DIRECTORY));
            if (!child || !listSubpaths(child.get(), path + "/", depth + 1, out)) return false;
        }
        out.push_back({std::move(path), entry.type});
    }
    return true;
}

// Fills the buffer unless the file ends first; a short read of a regular
// file is its end, so a small file costs one read instead of two.
ssize_t readChunk(int fd, char* buffer, std::size_t size, bool& ended) {
    std::size_t done = 0;
    while (done < size && !ended) {
        const ssize_t n = pf::retryOnEintr([&] { return ::read(fd, buffer + done, size - done); });
        if (n < 0) return -1;
        ended = n == 0 || static_cast<std::size_t>(n) < size - done;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Equal when both read to their ends with the same bytes (a difference in
// size shows as chunks of different lengths).
bool sameContents(int rootA, const std::string& a, int rootB, const std::string& b) {
    // O_NONBLOCK: an entry swapped for a fifo since the listing must not block the walk.
    pf::UniqueFd fa(pf::catalog::openBeneath(rootA, a.c_str(), O_RDONLY | O_NONBLOCK));
    pf::UniqueFd fb(pf::catalog::openBeneath(rootB, b.c_str(), O_RDONLY | O_NONBLOCK));
    if (!fa || !fb) return false;
    thread_local std::vector<char> bufferA(kChunkBytes), bufferB(kChunkBytes);
    bool endedA = false, endedB = false;
    for (;;) {
        const ssize_t na = readChunk(fa.get(), bufferA.data(), kChunkBytes, endedA);
        const ssize_t nb = readChunk(fb.get(), bufferB.data(), kChunkBytes, endedB);
        if (na < 0 || nb < 0 || na != nb || std::memcmp(bufferA.data(), bufferB.data(), std::size_t(na)) != 0)
            return false;
        if (endedA || endedB) return endedA == endedB;
    }
}

bool sameLinkTarget(int rootA, const std::string& a, int rootB, const std::string& b) {
    char targetA[4096], targetB[4096];
    const ssize_t na = ::readlinkat(rootA, a.c_str(), targetA, sizeof targetA);
    const ssize_t nb = ::readlinkat(rootB, b.c_str(), targetB, sizeof targetB);
    return na >= 0 && na == nb && std::memcmp(targetA, targetB, std::size_t(na)) == 0;
}

} // namespace

bool isDirectory(const std::string& pathA, const std::string& pathB) {
    pf::UniqueFd rootA(::open(pathA.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    pf::UniqueFd rootB(::open(pathB.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootA || !rootB) return false;
    std::vector<Subpath> listA, listB;
    if (!listSubpaths(rootA.get(), "", 0, listA) || !listSubpaths(rootB.get(), "", 0, listB)) return false;
    if (listA.size() != listB.size()) return false;
    const auto byPath = [](const Subpath& x, const Subpath& y) { return x.path < y.path; };
    std::sort(listA.begin(), listA.end(), byPath);
    std::sort(listB.begin(), listB.end(), byPath);
    for (std::size_t i = 0; i < listA.size(); ++i)
        if (listA[i].type != listB[i].type) return false;
    // The pairs are independent, so they are compared side by side; the
    // first mismatch stops every thread at its next pair.
    std::atomic<bool> equal{true};
    forEachIndexInParallel(listA.size(), [&](std::size_t i) {
        if (!equal.load(std::memory_order_relaxed)) return;
        const Subpath& a = listA[i];
        const Subpath& b = listB[i];
        if ((a.type == S_IFREG && !sameContents(rootA.get(), a.path, rootB.get(), b.path)) ||
            (a.type == S_IFLNK && !sameLinkTarget(rootA.get(), a.path, rootB.get(), b.path)))
            equal = false;
    });
    return equal;
}
