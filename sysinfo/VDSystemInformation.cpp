#include "sysinfo/VDSystemInformation.h"

#include <cmath>
#include <mutex>

#include "foundation_ext/ProcessInfoExtensions.h"
#include "foundation_ext/TaskExtensions.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Format.h"
#include "platform/system/Sysctl.h"
#include "platform/system/VMStatistics.h"
#include "sysinfo/HardwareProfile.h"
#include "sysinfo/SystemDescriptions.h"

namespace {

// A positive reading that fits 32 bits, else nothing.
std::optional<std::uint32_t> count32(const char* name) {
    const auto value = pf::sysctlInteger(name);
    if (!value || *value <= 0 || *value > INT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

// A positive reading, else the fallback.
std::uint64_t positiveOr(const char* name, std::uint64_t fallback) {
    const auto value = pf::sysctlInteger(name);
    return value && *value > 0 ? static_cast<std::uint64_t>(*value) : fallback;
}

pf::Dictionary readSystemProfile() {
    const auto output = outputDataForTaskAtPath(
        "/usr/bin/env", {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "system_profiler", "-xml", "SPHardwareDataType"},
        pf::Data{}, true);
    if (output) {
        if (auto profile = VDHardwareProfileFromProfilerOutput(*output)) return *profile;
    }
    return VDFallbackHardwareProfile();
}

pf::Value profileValue(const pf::Dictionary& profile, const char* key) {
    const auto found = profile.find(key);
    return found == profile.end() ? pf::Value() : found->second;
}

} // namespace

VDSystemInformation& VDSystemInformation::systemInformation() {
    static VDSystemInformation* const shared = new VDSystemInformation; // kept until exit
    return *shared;
}

// The facts that cannot change while the system runs are read here, once.
VDSystemInformation::VDSystemInformation()
    : physicalMemory_(positiveOr("hw.memsize", 536870912)),
      physicalCPUs_(count32("hw.physicalcpu_max").value_or(1)),
      logicalCPUs_(count32("hw.logicalcpu_max").value_or(1)),
      pageSize_(positiveOr("hw.pagesize", 4096)) {
    (void)machineModelName();
}

std::uint64_t VDSystemInformation::physicalMemory() const { return physicalMemory_; }

std::uint32_t VDSystemInformation::physicalCPUCount() const { return physicalCPUs_; }

std::uint32_t VDSystemInformation::availableCPUCount() const { return logicalCPUs_; }

std::uint32_t VDSystemInformation::activeCPUCount() const { return count32("hw.logicalcpu").value_or(1); }

bool VDSystemInformation::sixtyFourBitSystem() const { return isProcessor64bitCapable(); }

std::optional<std::string> VDSystemInformation::machineModelName() const {
    {
        std::lock_guard lock(modelMutex_);
        if (modelName_) return modelName_;
    }
    auto name = pf::sysctlString("hw.model");
    if (!name) return std::nullopt;
    // The platform's buffer is 4096 bytes, and the name ends at its first NUL.
    if (name->size() > 4095) name->resize(4095);
    name->resize(std::char_traits<char>::length(name->c_str()));
    std::lock_guard lock(modelMutex_);
    modelName_ = std::move(name);
    return modelName_;
}

std::int64_t VDSystemInformation::secondsSinceLastRestart() const {
    const auto boot = pf::sysctlInteger("kern.boottime");
    if (!boot) return -1;
    return std::llround(pf::Date::now().secondsSince1970) - *boot;
}

std::optional<pf::Dictionary> VDSystemInformation::memoryStatistics() const {
    const pf::HostMemoryReadings readings = pf::hostMemoryReadings();
    const auto& vm = readings.statistics;
    if (!vm) return std::nullopt;
    const std::uint64_t page = pageSize_;
    // A swap record that cannot be read gives its four values as 0.
    const pf::SwapUsage swap = readings.swap.value_or(pf::SwapUsage{});
    using U64 = unsigned long long;
    auto bytes = [page](std::uint64_t pages) { return pf::Value(U64{pages * page}); };
    auto count = [](std::uint64_t n) { return pf::Value(U64{n}); };
    auto count32 = [](std::uint32_t n) { return pf::Value(unsigned{n}); };
    return pf::Dictionary{
        {"pagesz", pf::Value(static_cast<unsigned long>(page))},
        {"free", bytes(vm->free_count)},
        {"active", bytes(vm->active_count)},
        {"inactive", bytes(vm->inactive_count)},
        {"wired", bytes(vm->wire_count)},
        {"zero-fill", count(vm->zero_fill_count)},
        {"reactivated", count(vm->reactivations)},
        {"pagein", count(vm->pageins)},
        {"pageout", count(vm->pageouts)},
        {"faults", count(vm->faults)},
        {"cow-faults", count(vm->cow_faults)},
        {"cache-look", count(vm->lookups)},
        {"cache-hit", count(vm->hits)},
        {"purged", count(vm->purges)},
        {"purgeable", count32(vm->purgeable_count)},
        {"speculative", bytes(vm->speculative_count)},
        {"decompressed", count(vm->decompressions)},
        {"compressed", count(vm->compressions)},
        {"swapin", count(vm->swapins)},
        {"swapout", count(vm->swapouts)},
        {"c-store-compressed", count32(vm->compressor_page_count)},
        {"c-store-uncompressed", count(vm->total_uncompressed_pages_in_compressor)},
        {"throttled", count32(vm->throttled_count)},
        {"file-backed", count32(vm->external_page_count)},
        {"anonymous", count32(vm->internal_page_count)},
        {"vm-total", count(swap.xsu_total)},
        {"vm-used", count(swap.xsu_used)},
        {"vm-pagesz", count32(swap.xsu_pagesize)},
        {"vm-encrypt", count32(swap.xsu_encrypted ? 1 : 0)},
    };
}

pf::Dictionary VDSystemInformation::systemProfile() const {
    static const pf::Dictionary profile = readSystemProfile();
    return profile;
}

std::string VDSystemInformation::machineDescription() const {
    return pf::format("%@", profileValue(systemProfile(), "machine_name"));
}

std::string VDSystemInformation::cpuDescription() const {
    const pf::Dictionary profile = systemProfile();
    return VDProcessorDescription(profileValue(profile, "current_processor_speed"), profileValue(profile, "cpu_type"),
                                  physicalCPUCount(), availableCPUCount());
}

std::string VDSystemInformation::lastRestartDescription() const {
    return VDUptimeDescription(secondsSinceLastRestart());
}
