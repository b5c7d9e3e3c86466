#include "installer/BOMFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include "installer/FileCalls.h"
#include "platform/foundation/PropertyList.h"

std::optional<BOMFileContents> VDReadBOMFile(const std::string& path) {
    // O_NONBLOCK keeps a FIFO planted under the name from holding the open.
    vdfs::Opened file = vdfs::openAt(AT_FDCWD, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (file.error) return std::nullopt;
    struct stat st {};
    if (vdfs::statAt(file.fd.get(), "", st) || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > kVDMaxBOMFileBytes)
        return std::nullopt;

    std::string bytes;
    char buffer[64 * 1024];
    for (;;) {
        ssize_t got = -1;
        if (vdfs::retrying([&] { return got = ::read(file.fd.get(), buffer, sizeof buffer); })) return std::nullopt;
        if (got == 0) break;
        // The file may grow after the size check; the bound holds all the same.
        if (bytes.size() + static_cast<std::size_t>(got) > kVDMaxBOMFileBytes) return std::nullopt;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    pf::PropertyListLimits limits;
    limits.maxBytes = kVDMaxBOMFileBytes;
    auto value = pf::propertyListFromBytes(std::string_view(bytes), limits);
    if (!value) return std::nullopt;
    pf::codesign::Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return BOMFileContents{std::move(*value), hash.final()};
}
