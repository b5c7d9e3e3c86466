// The application's machine facts forward to the shared system information,
// which is made on the first of these calls, never at start-up.
#include "app/VDApplication.h"
#include "sysinfo/VDSystemInformation.h"

std::uint64_t VDApplication::physicalMemory() const {
    return VDSystemInformation::systemInformation().physicalMemory();
}

std::uint32_t VDApplication::physicalCPUCount() const {
    return VDSystemInformation::systemInformation().physicalCPUCount();
}

std::uint32_t VDApplication::availableCPUCount() const {
    return VDSystemInformation::systemInformation().availableCPUCount();
}

std::uint32_t VDApplication::activeCPUCount() const {
    return VDSystemInformation::systemInformation().activeCPUCount();
}

bool VDApplication::sixtyFourBitSystem() const { return VDSystemInformation::systemInformation().sixtyFourBitSystem(); }

std::optional<std::string> VDApplication::machineModelName() const {
    return VDSystemInformation::systemInformation().machineModelName();
}
