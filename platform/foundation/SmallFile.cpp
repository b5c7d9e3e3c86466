#include "platform/foundation/SmallFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "platform/system/Retry.h"
#include "platform/system/UniqueFd.h"

namespace pf {

std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t maxBytes) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    UniqueFd fd(retryOnEintr([&] { return ::open(path.c_str(), kFlags); }));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || std::uint64_t(st.st_size) > maxBytes)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = retryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (n < 0 || bytes.size() + static_cast<std::size_t>(n) > maxBytes) return std::nullopt;
        if (n == 0) return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace pf
