// Hostile bytes against the decoder of port-message frames, which every
// sender to a service port reaches: whatever decodes must encode back to
// exactly the same bytes (the format has one spelling per message).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/mach/Frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string why;
    const std::span<const std::uint8_t> bytes(data, size);
    auto contents = pf::mach::decodeFrame(bytes, &why);
    if (!contents) return 0;
    auto again = pf::mach::encodeFrame(*contents, &why);
    if (!again || !std::equal(again->begin(), again->end(), bytes.begin(), bytes.end())) std::abort();
    return 0;
}
