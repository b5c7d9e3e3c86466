#include "platform/system/VMStatistics.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

namespace pf {
namespace {

template <class Reading>
struct Slot {
    std::mutex mutex;
    std::optional<std::optional<Reading>> value; // set while overridden
};

template <class Reading>
Slot<Reading>& slot() {
    static Slot<Reading> s;
    return s;
}

template <class Reading>
std::optional<std::optional<Reading>> overridden() {
    auto& s = slot<Reading>();
    std::lock_guard lock(s.mutex);
    return s.value;
}

// Calls found(name, value) for every "name value" (vmstat) or "Name: value kB"
// (meminfo) line of a /proc file read with plain stdio. False when the file
// cannot be opened.
template <class F>
bool forEachCounter(const char* path, F&& found) {
    std::FILE* file = std::fopen(path, "re");
    if (!file) return false;
    char line[256];
    while (std::fgets(line, sizeof line, file)) {
        char* end = std::strpbrk(line, ": ");
        if (!end) continue;
        char* digits = end + std::strspn(end, ": ");
        if (*digits < '0' || *digits > '9') continue;
        found(std::string_view(line, static_cast<std::size_t>(end - line)),
              static_cast<std::uint64_t>(std::strtoull(digits, nullptr, 10)));
    }
    std::fclose(file);
    return true;
}

std::uint64_t pageSize() {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

std::uint32_t to32(std::uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(value); }

struct MemInfo {
    std::uint64_t unevictableKb = 0, unreclaimableSlabKb = 0, kernelStackKb = 0, pageTablesKb = 0;
    std::uint64_t zswapKb = 0, zswappedKb = 0;
    std::optional<std::uint64_t> swapTotalKb, swapFreeKb;
};

MemInfo readMemInfo() {
    MemInfo m;
    forEachCounter("/proc/meminfo", [&](std::string_view name, std::uint64_t kb) {
        if (name == "Unevictable") m.unevictableKb = kb;
        else if (name == "SUnreclaim") m.unreclaimableSlabKb = kb;
        else if (name == "KernelStack") m.kernelStackKb = kb;
        else if (name == "PageTables") m.pageTablesKb = kb;
        else if (name == "Zswap") m.zswapKb = kb;
        else if (name == "Zswapped") m.zswappedKb = kb;
        else if (name == "SwapTotal") m.swapTotalKb = kb;
        else if (name == "SwapFree") m.swapFreeKb = kb;
    });
    return m;
}

} // namespace

namespace {

std::optional<VMStatistics> vmStatistics(const MemInfo& m) {
    VMStatistics s;
    const std::uint64_t page = pageSize(), kbPerPage = page / 1024 ? page / 1024 : 1;
    std::uint64_t anonPages = 0, filePages = 0;
    const bool read = forEachCounter("/proc/vmstat", [&](std::string_view name, std::uint64_t v) {
        struct Field {
            std::string_view name;
            std::uint64_t* into;
        };
        const Field fields[] = {
            {"nr_free_pages", &s.free_count},   {"nr_active_anon", &s.active_count},
            {"nr_active_file", &s.active_count}, {"nr_inactive_anon", &s.inactive_count},
            {"nr_inactive_file", &s.inactive_count}, {"pgactivate", &s.reactivations},
            {"pgfault", &s.faults},             {"pswpin", &s.swapins},
            {"pswpout", &s.swapouts},           {"zswpin", &s.decompressions},
            {"zswpout", &s.compressions},       {"nr_anon_pages", &anonPages},
            {"nr_file_pages", &filePages},
        };
        for (const auto& f : fields) {
            if (name == f.name) {
                *f.into += v;
                return;
            }
        }
        // Kilobytes read from and written to block devices, as pages.
        if (name == "pgpgin") s.pageins = v / kbPerPage;
        else if (name == "pgpgout") s.pageouts = v / kbPerPage;
    });
    if (!read) return std::nullopt;
    // Memory the kernel will not page out stands for wired memory.
    s.wire_count = (m.unevictableKb + m.unreclaimableSlabKb + m.kernelStackKb + m.pageTablesKb) / kbPerPage;
    s.compressor_page_count = to32(m.zswapKb / kbPerPage);
    s.total_uncompressed_pages_in_compressor = m.zswappedKb / kbPerPage;
    s.external_page_count = to32(filePages);
    s.internal_page_count = to32(anonPages);
    return s;
}

std::optional<SwapUsage> swapUsage(const MemInfo& m) {
    if (!m.swapTotalKb || !m.swapFreeKb) return std::nullopt;
    SwapUsage u;
    u.xsu_total = *m.swapTotalKb * 1024;
    u.xsu_avail = *m.swapFreeKb * 1024;
    u.xsu_used = u.xsu_total > u.xsu_avail ? u.xsu_total - u.xsu_avail : 0;
    u.xsu_pagesize = to32(pageSize());
    // Whether swap is encrypted cannot be told from here; dm-crypt swap looks the same.
    u.xsu_encrypted = false;
    return u;
}

} // namespace

HostMemoryReadings hostMemoryReadings() {
    auto statistics = overridden<VMStatistics>();
    auto swap = overridden<SwapUsage>();
    if (statistics && swap) return {*statistics, *swap};
    const MemInfo m = readMemInfo();
    return {statistics ? *statistics : vmStatistics(m), swap ? *swap : swapUsage(m)};
}

template <class Reading>
ReadingOverride<Reading>::ReadingOverride(std::optional<Reading> value) {
    auto& s = slot<Reading>();
    std::lock_guard lock(s.mutex);
    saved_ = s.value;
    s.value.emplace(std::move(value));
}

template <class Reading>
ReadingOverride<Reading>::~ReadingOverride() {
    auto& s = slot<Reading>();
    std::lock_guard lock(s.mutex);
    s.value = saved_;
}

template class ReadingOverride<VMStatistics>;
template class ReadingOverride<SwapUsage>;

} // namespace pf
