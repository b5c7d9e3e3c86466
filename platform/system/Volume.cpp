#include "platform/system/Volume.h"

#include <sys/stat.h>

#include <filesystem>

namespace pf {

std::optional<std::string> volumeOfPath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path current = std::filesystem::absolute(path, ec).lexically_normal();
    if (ec) return std::nullopt;
    if (current.has_filename() == false && current != current.root_path()) current = current.parent_path();
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0) return std::nullopt;
    const dev_t device = st.st_dev;
    while (current != current.root_path()) {
        const auto parent = current.parent_path();
        struct stat up {};
        if (::stat(parent.c_str(), &up) != 0 || up.st_dev != device) break;
        current = parent;
    }
    return current.string();
}

} // namespace pf
