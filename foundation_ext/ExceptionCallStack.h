#pragma once
// The call-stack text that every logged exception carries: each return
// address as "0x%lx", innermost first, then the start of the process's lowest
// mapped region ("0x%llx") so a reader can turn addresses into offsets within
// the loaded program.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/Exception.h"

std::vector<std::string> vd_formattedCallStackReturnAddresses(const pf::Exception& exception);

// The start address of the lowest mapping in /proc/self/maps, read once;
// all bits set when it cannot be read.
std::uint64_t vd_lowestMappedRegionStart();
