#pragma once
// The host's virtual-memory statistics and swap usage, as the platform's
// host_statistics64 (HOST_VM_INFO64) and vm.swapusage give them, answered
// from /proc/vmstat and /proc/meminfo. Each field takes the nearest Linux
// counter (the table is in the README); a field without one is 0. Page
// counts are pages of the system's page size.
//
// Tests replace a reading, or make it unreadable, with an override; it
// applies process-wide while the object lives.
#include <cstdint>
#include <optional>

namespace pf {

struct VMStatistics {
    std::uint64_t free_count = 0, active_count = 0, inactive_count = 0, wire_count = 0;
    std::uint64_t zero_fill_count = 0, reactivations = 0, pageins = 0, pageouts = 0;
    std::uint64_t faults = 0, cow_faults = 0, lookups = 0, hits = 0, purges = 0;
    std::uint32_t purgeable_count = 0;
    std::uint64_t speculative_count = 0, decompressions = 0, compressions = 0, swapins = 0, swapouts = 0;
    std::uint32_t compressor_page_count = 0;
    std::uint64_t total_uncompressed_pages_in_compressor = 0;
    std::uint32_t throttled_count = 0, external_page_count = 0, internal_page_count = 0;
};

struct SwapUsage {
    std::uint64_t xsu_total = 0, xsu_avail = 0, xsu_used = 0;
    std::uint32_t xsu_pagesize = 0;
    bool xsu_encrypted = false;
};

struct HostMemoryReadings {
    std::optional<VMStatistics> statistics; // nothing when /proc/vmstat cannot be read
    std::optional<SwapUsage> swap;          // nothing when /proc/meminfo has no swap lines
};

// Both readings, each /proc file read once.
HostMemoryReadings hostMemoryReadings();

template <class Reading>
class ReadingOverride {
public:
    explicit ReadingOverride(std::optional<Reading> value);
    ~ReadingOverride();
    ReadingOverride(const ReadingOverride&) = delete;
    ReadingOverride& operator=(const ReadingOverride&) = delete;

private:
    std::optional<std::optional<Reading>> saved_;
};

using VMStatisticsOverride = ReadingOverride<VMStatistics>;
using SwapUsageOverride = ReadingOverride<SwapUsage>;

} // namespace pf
