#include "platform/mach/Frame.h"

#include <cstring>

namespace pf::mach {

namespace {

void putU32(Data& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &value, 4);
    out.insert(out.end(), bytes, bytes + 4);
}

std::uint32_t getU32(std::span<const std::uint8_t> bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

enum Kind : std::uint32_t { kData = 0, kPort = 1 };

std::nullopt_t fail(std::string* why, const char* text) {
    if (why) *why = text;
    return std::nullopt;
}

} // namespace

std::size_t FrameContents::portCount() const {
    std::size_t count = carriesReplyPort ? 1 : 0;
    for (const auto& component : components) count += component.isPort ? 1 : 0;
    return count;
}

std::optional<Data> encodeFrame(const FrameContents& contents, std::string* why) {
    if (contents.components.size() > kMaxComponents) return fail(why, "too many components");
    if (contents.portCount() > 1) return fail(why, "more than one port in one message");
    std::size_t dataBytes = 0;
    for (const auto& component : contents.components) dataBytes += component.isPort ? 0 : component.data.size();
    if (dataBytes > kMaxDataBytes) return fail(why, "message too large");

    Data out;
    out.reserve(kFrameHeaderBytes + contents.components.size() * kComponentHeaderBytes + dataBytes);
    putU32(out, kFrameMagic);
    putU32(out, contents.msgid);
    putU32(out, contents.carriesReplyPort ? kFlagReplyPort : 0);
    putU32(out, static_cast<std::uint32_t>(contents.components.size()));
    for (const auto& component : contents.components) {
        putU32(out, component.isPort ? kPort : kData);
        putU32(out, component.isPort ? 0 : static_cast<std::uint32_t>(component.data.size()));
    }
    for (const auto& component : contents.components)
        if (!component.isPort) out.insert(out.end(), component.data.begin(), component.data.end());
    return out;
}

std::optional<FrameContents> decodeFrame(std::span<const std::uint8_t> bytes, std::string* why) {
    if (bytes.size() < kFrameHeaderBytes) return fail(why, "short frame");
    if (bytes.size() > kMaxWireBytes) return fail(why, "frame too large");
    if (getU32(bytes, 0) != kFrameMagic) return fail(why, "not a port message");
    FrameContents contents;
    contents.msgid = getU32(bytes, 4);
    const std::uint32_t flags = getU32(bytes, 8);
    if (flags & ~kFlagReplyPort) return fail(why, "unknown flags");
    contents.carriesReplyPort = flags & kFlagReplyPort;
    const std::uint32_t count = getU32(bytes, 12);
    if (count > kMaxComponents) return fail(why, "too many components");
    std::size_t at = kFrameHeaderBytes;
    if (bytes.size() < at + count * kComponentHeaderBytes) return fail(why, "short frame");
    // Lengths are summed in 64 bits: eight of them cannot overflow.
    std::uint64_t dataBytes = 0;
    std::vector<std::uint32_t> lengths(count);
    contents.components.resize(count);
    for (std::uint32_t i = 0; i < count; ++i, at += kComponentHeaderBytes) {
        const std::uint32_t kind = getU32(bytes, at);
        lengths[i] = getU32(bytes, at + 4);
        if (kind == kPort) {
            if (lengths[i] != 0) return fail(why, "a port component with data");
            contents.components[i].isPort = true;
        } else if (kind != kData) {
            return fail(why, "unknown component kind");
        }
        dataBytes += lengths[i];
    }
    if (dataBytes > kMaxDataBytes) return fail(why, "message too large");
    if (bytes.size() - at != dataBytes) return fail(why, "component lengths do not match the frame");
    if (contents.portCount() > 1) return fail(why, "more than one port in one message");
    for (std::uint32_t i = 0; i < count; ++i) {
        if (contents.components[i].isPort) continue;
        contents.components[i].data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                           bytes.begin() + static_cast<std::ptrdiff_t>(at + lengths[i]));
        at += lengths[i];
    }
    return contents;
}

} // namespace pf::mach
