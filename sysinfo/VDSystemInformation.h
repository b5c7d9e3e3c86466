#pragma once
// Facts about the machine: memory, virtual-memory statistics, processor
// counts, model, time since the last restart, and one-line descriptions of
// them. Facts that cannot change while the system runs are read once and
// kept for the process (with fixed fallbacks when a reading fails); the
// others are read on every call. The hardware profile comes from the system
// profiler, run at most once.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class VDSystemInformation {
public:
    // The shared instance, made on first use (which also reads the memory
    // size, the processor counts, the model and the page size).
    static VDSystemInformation& systemInformation();

    std::uint64_t physicalMemory() const;                    // 512 MiB when unreadable
    std::optional<pf::Dictionary> memoryStatistics() const;  // nothing when unreadable
    std::uint32_t physicalCPUCount() const;                  // 1 when unreadable
    std::uint32_t availableCPUCount() const;                 // 1 when unreadable
    std::uint32_t activeCPUCount() const;                    // read each time; 1 when unreadable
    bool sixtyFourBitSystem() const;
    std::optional<std::string> machineModelName() const;     // read again until it reads
    std::int64_t secondsSinceLastRestart() const;            // -1 when unreadable
    std::string machineDescription() const;
    std::string cpuDescription() const;
    std::string lastRestartDescription() const;
    pf::Dictionary systemProfile() const;

private:
    VDSystemInformation();

    const std::uint64_t physicalMemory_;
    const std::uint32_t physicalCPUs_;
    const std::uint32_t logicalCPUs_;
    const std::uint64_t pageSize_;
    mutable std::mutex modelMutex_;
    mutable std::optional<std::string> modelName_;
};
