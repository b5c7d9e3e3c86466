#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/system/Retry.h"
#include "support/log/LogFile.h"
#include "support/log/Path.h"
#include "support/text/u8string.h"

std::string vdlog_rotated_name(const std::string& path, int n) {
    std::string directory = path;
    vdpath_parent(directory);
    const std::string extension = vdpath_extension(path);
    std::string name = vdpath_filename(path);
    if (!extension.empty()) name.resize(name.size() - extension.size() - 1);
    if (n >= 0) name += std::to_string(n);
    if (!extension.empty()) name += "." + extension;
    vdpath_join(directory, name);
    return directory;
}

void vdlog_rotate(const std::string& path, int generation) {
    for (int n = generation; n >= -1; --n) {
        const u8string from(vdlog_rotated_name(path, n));
        struct stat st;
        // lstat: a symlink planted as a generation is moved or deleted
        // itself, never what it points to.
        if (::lstat(from.c_str(), &st) != 0) continue;
        if (n > 3) {
            if (pf::retryOnEintr([&] { return ::unlink(from.c_str()); }) != 0)
                std::fprintf(stderr, "Can't unlink %s\n", from.c_str());
        } else {
            const std::string to = vdlog_rotated_name(path, n + 1);
            if (pf::retryOnEintr([&] { return ::rename(from.c_str(), to.c_str()); }) != 0)
                std::fprintf(stderr, "Can't rename %s to %s\n", from.c_str(), to.c_str());
        }
    }
}
