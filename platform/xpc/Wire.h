#pragma once
// The bytes of a connection: a stream of frames on a SOCK_STREAM Unix socket.
//
// Frame = 24-byte header + payload, all integers little-endian:
//   u32 payload length   (at most kMaxFrameBytes; checked before allocating)
//   u32 flags            bit 0 wants-reply, bit 1 is-reply; other bits, or
//                        both bits together, are malformed
//   u64 message id       chosen by the sender, unique per connection
//   u64 reply-to id      the id of the request an is-reply frame answers;
//                        0 in every other frame
// Payload = one dictionary:
//   u32 entry count      at most kMaxDictionaryEntries
//   entries, each:
//     u16 key length     1..kMaxKeyBytes
//     key bytes          UTF-8 without NUL
//     u8  type           1 data, 2 boolean
//     u32 value length   data: any (within the payload); boolean: exactly 1
//     value bytes        boolean: 0 or 1
// A duplicate key, an unknown type, an entry running past the payload, or
// bytes left over after the last entry make the frame malformed, and a
// malformed frame ends the connection that sent it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/xpc/Dictionary.h"

namespace pf::xpc::wire {

inline constexpr std::size_t kHeaderBytes = 24;

enum FrameFlag : std::uint32_t { kWantsReply = 1u << 0, kIsReply = 1u << 1 };
enum EntryType : std::uint8_t { kTypeData = 1, kTypeBool = 2 };

struct FrameHeader {
    std::uint32_t length = 0;
    std::uint32_t flags = 0;
    std::uint64_t messageId = 0;
    std::uint64_t replyTo = 0;
};

// The header's fields read from kHeaderBytes bytes, or nullopt (with the
// reason) when the length or the flags are out of bounds.
std::optional<FrameHeader> parseHeader(const std::uint8_t* bytes, std::string* why);
void writeHeader(const FrameHeader& header, std::uint8_t* out);

std::vector<std::uint8_t> encodePayload(const Dictionary& dictionary);
// nullptr, with the reason, for a malformed payload.
std::shared_ptr<Dictionary> decodePayload(std::span<const std::uint8_t> payload, std::string* why);

// A whole frame: header followed by the encoded dictionary; nullopt when the
// payload would exceed kMaxFrameBytes.
std::optional<std::vector<std::uint8_t>> encodeFrame(const Dictionary& dictionary, std::uint32_t flags,
                                                     std::uint64_t messageId, std::uint64_t replyTo);

} // namespace pf::xpc::wire
