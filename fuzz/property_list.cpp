// Hostile bytes against the property-list reader, binary and XML; whatever
// it reads must write back as binary and read again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/foundation/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pf::PropertyListLimits limits;
    limits.maxBytes = 1u << 20;
    limits.maxObjects = 1u << 14;
    const std::optional<pf::Value> value =
        pf::propertyListFromBytes(std::string_view(reinterpret_cast<const char*>(data), size), limits);
    if (!value) return 0;
    (void)value->description();
    // Strings with NUL characters are read but not written; nothing else may fail.
    const std::optional<pf::Data> binary = pf::binaryPropertyList(*value);
    if (!binary) return 0;
    const std::optional<pf::Value> again = pf::propertyListFromBytes(*binary);
    if (!again || pf::binaryPropertyList(*again) != binary) __builtin_trap();
    return 0;
}
