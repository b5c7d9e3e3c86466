#pragma once
// The texts an application log file opens with: the header naming the
// program's and the operating system's versions, and the CPU part of the
// machine line.
#include <cstdint>
#include <string>

#include "platform/foundation/Value.h"

// From the Info.plist values CFBundleVersion, "CFBundleShortVersionString"
// and "VDBuildIdentifier" (a missing or non-string value counts as empty)
// and the system's version and build.
std::string logFileHeader(const pf::Dictionary& info, const std::string& osVersion, const std::string& osBuild);

// "4", or "2 (4)" when more processors are available than physical ones.
std::string machineCPUText(std::uint32_t physicalCPUs, std::uint32_t availableCPUs);

// The shell commands whose output fills the header's system version and
// build: the distribution's name and version, and the kernel's release and build.
extern const char* const kOSVersionCommand;
extern const char* const kOSBuildCommand;
