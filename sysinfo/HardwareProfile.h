#pragma once
// The hardware overview dictionary of the system profiler's XML output
// (element 0 of the top-level array, its "_items", element 0 of that), or
// nothing when the output is empty or not of that shape. A look-up that
// raises is logged as the exception convention says.
#include <optional>

#include "platform/foundation/Value.h"

std::optional<pf::Dictionary> VDHardwareProfileFromProfilerOutput(const pf::Data& output);
// "cpu_type" "Intel 64-bit", "current_processor_speed" "", "machine_name" the localized "Macintosh".
pf::Dictionary VDFallbackHardwareProfile();
