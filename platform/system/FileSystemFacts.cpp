#include "platform/system/FileSystemFacts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <memory>

#include "platform/system/Retry.h"

namespace pf {

namespace {

// udev writes "\x20" for a space and the like.
std::string decodeUdevEscapes(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) && std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

std::optional<std::uint64_t> fileSystemBlockSize(int fd) {
    struct statvfs st;
    if (retryOnEintr([&] { return ::fstatvfs(fd, &st); }) != 0) return std::nullopt;
    const std::uint64_t size = st.f_frsize ? st.f_frsize : st.f_bsize;
    return size ? std::optional<std::uint64_t>(size) : std::nullopt;
}

std::optional<bool> fileSystemSupportsLargeFiles(const std::string& path) {
    const long bits = ::pathconf(path.c_str(), _PC_FILESIZEBITS);
    if (bits < 0) return std::nullopt;
    return bits > 33;
}

std::optional<std::string> fileSystemLabel(dev_t device) {
    constexpr const char* kLabels = "/dev/disk/by-label";
    struct CloseDir {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    std::unique_ptr<DIR, CloseDir> dir(::opendir(kLabels));
    if (!dir) return std::nullopt;
    // A small folder of links made by udev; each is followed to its device node.
    constexpr int kMaxLabels = 4096;
    int seen = 0;
    while (dirent* entry = ::readdir(dir.get())) {
        if (++seen > kMaxLabels) break;
        if (entry->d_name[0] == '.') continue;
        struct stat st;
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, 0) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device)
            return decodeUdevEscapes(entry->d_name);
    }
    return std::nullopt;
}

} // namespace pf
