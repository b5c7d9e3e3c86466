#include "foundation_ext/ExceptionCallStack.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "platform/foundation/Format.h"

namespace {

std::uint64_t readLowestMappedRegionStart() {
    // /proc/self/maps lists mappings in ascending address order, so the first
    // line holds the lowest one.
    std::ifstream maps("/proc/self/maps");
    std::string line;
    if (!maps || !std::getline(maps, line)) return UINT64_MAX;
    std::uint64_t start = 0;
    if (std::sscanf(line.c_str(), "%" SCNx64, &start) != 1) return UINT64_MAX;
    return start;
}

} // namespace

std::uint64_t vd_lowestMappedRegionStart() {
    static std::once_flag once;
    static std::uint64_t start = UINT64_MAX;
    std::call_once(once, [] { start = readLowestMappedRegionStart(); });
    return start;
}

std::vector<std::string> vd_formattedCallStackReturnAddresses(const pf::Exception& exception) {
    const auto& addresses = exception.callStackReturnAddresses();
    std::vector<std::string> text;
    try {
        text.reserve(addresses.size() + 1);
        for (std::uintptr_t address : addresses)
            text.push_back(pf::format("0x%lx", static_cast<unsigned long>(address)));
        text.push_back(pf::format("0x%llx", static_cast<unsigned long long>(vd_lowestMappedRegionStart())));
    } catch (const pf::Exception&) {
        // The raw addresses in decimal stand in for the formatted text.
        text.clear();
        for (std::uintptr_t address : addresses) text.push_back(std::to_string(address));
    }
    return text;
}
