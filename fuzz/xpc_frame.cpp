// Hostile bytes against the frame decoder every peer of a listener reaches:
// the header, then the payload it announces, then a re-encoding of whatever
// decoded (which must decode to the same entries again).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/xpc/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace wire = pf::xpc::wire;
    std::string why;
    if (size >= wire::kHeaderBytes) (void)wire::parseHeader(data, &why);
    auto dictionary = wire::decodePayload(std::span<const std::uint8_t>(data, size), &why);
    if (!dictionary) return 0;
    const auto again = wire::encodePayload(*dictionary);
    auto back = wire::decodePayload(again, &why);
    if (!back || wire::encodePayload(*back) != again) std::abort();
    return 0;
}
