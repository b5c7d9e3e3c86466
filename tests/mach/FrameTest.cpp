// The frame decoder is what a hostile sender reaches first: every malformed
// shape must be refused, every well-formed one read back exactly.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/mach/Frame.h"

using namespace pf::mach;

namespace {

pf::Data frame(std::vector<std::uint32_t> words, std::size_t dataBytes = 0) {
    pf::Data out(words.size() * 4 + dataBytes, 0x41);
    std::memcpy(out.data(), words.data(), words.size() * 4);
    return out;
}

} // namespace

// Round trips are the fuzz target's to check; here, what the receiver refuses
// whatever a sender's encoder let through.
TEST(MachFrame, RefusesMalformedFrames) {
    const std::uint32_t M = kFrameMagic;
    const struct {
        const char* what;
        pf::Data bytes;
    } cases[] = {
        {"short header", frame({M, 0, 0})},
        {"wrong magic", frame({M + 1, 0, 0, 0})},
        {"unknown flags", frame({M, 0, 2, 0})},
        {"too many components", frame({M, 0, 0, 9})},
        {"component table cut", frame({M, 0, 0, 2, 0, 4})},
        {"unknown kind", frame({M, 0, 0, 1, 5, 0})},
        {"port with data", frame({M, 0, 0, 1, 1, 4}, 4)},
        {"two ports", frame({M, 0, 1, 1, 1, 0})},
        {"length past the end", frame({M, 0, 0, 1, 0, 5}, 4)},
        {"bytes after the data", frame({M, 0, 0, 1, 0, 3}, 4)},
        {"length at its limit", frame({M, 0, 0, 2, 0, 0xffffffffu, 0, 0xffffffffu}, 4)},
    };
    for (const auto& c : cases) EXPECT_FALSE(decodeFrame(c.bytes, nullptr)) << c.what;
    // No component at all is well formed: the transport decides what it means.
    EXPECT_TRUE(decodeFrame(frame({M, 0, 0, 0}), nullptr));
}
