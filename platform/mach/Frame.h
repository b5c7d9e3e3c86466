#pragma once
// The bytes of one port message on the wire. Fixed header (magic, message
// identifier, flags, component count), then per component its kind and
// length, then the data of the data components in order. A port travels
// beside the bytes as a descriptor: the reply port when the flags say so, or
// a port component; at most one per message, so a frame names at most one.
//
// Every length is checked against the frame before anything is allocated,
// and the data of all components together is bounded by the XPC frame limit,
// so both transports take the same largest message.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/xpc/Limits.h"

namespace pf::mach {

inline constexpr std::uint32_t kFrameMagic = 0x4d435031; // "MCP1"
inline constexpr std::size_t kMaxComponents = 8;
inline constexpr std::size_t kMaxDataBytes = xpc::kMaxFrameBytes;
inline constexpr std::size_t kFrameHeaderBytes = 16;
inline constexpr std::size_t kComponentHeaderBytes = 8;
inline constexpr std::size_t kMaxWireBytes =
    kFrameHeaderBytes + kMaxComponents * kComponentHeaderBytes + kMaxDataBytes;
inline constexpr std::uint32_t kFlagReplyPort = 1;

// A component as the frame sees it: data, or the place of the one port.
struct FrameComponent {
    bool isPort = false;
    Data data;
};

struct FrameContents {
    std::uint32_t msgid = 0;
    bool carriesReplyPort = false;
    std::vector<FrameComponent> components;
    // Descriptors that must travel with the frame (0 or 1 in a valid frame).
    std::size_t portCount() const;
};

// nullopt (with the reason in *why) when the contents cannot travel: too many
// components, too much data, more than one port.
std::optional<Data> encodeFrame(const FrameContents& contents, std::string* why);
// nullopt (with the reason) for anything but a well-formed frame.
std::optional<FrameContents> decodeFrame(std::span<const std::uint8_t> bytes, std::string* why);

} // namespace pf::mach
