#pragma once
// The one-line descriptions of the processor and of the time since the last
// restart, from given facts; VDSystemInformation fills them in.
#include <cstdint>
#include <string>

#include "platform/foundation/Value.h"

// speed and type are the profile's values (null when absent).
std::string VDProcessorDescription(const pf::Value& speed, const pf::Value& type, std::uint32_t physicalCPUs,
                                   std::uint32_t logicalCPUs);
// "Unknown" below one second, else "<phrase> since last restart".
std::string VDUptimeDescription(std::int64_t secondsSinceLastRestart);
