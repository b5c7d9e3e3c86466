#include "platform/xpc/Wire.h"

#include <cstring>

#include "platform/xpc/Limits.h"

namespace pf::xpc::wire {

namespace {

std::uint32_t readU32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint64_t readU64(const std::uint8_t* p) { return std::uint64_t(readU32(p)) | std::uint64_t(readU32(p + 4)) << 32; }
void putU32(std::uint32_t v, std::uint8_t* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void putU64(std::uint64_t v, std::uint8_t* out) {
    putU32(static_cast<std::uint32_t>(v), out);
    putU32(static_cast<std::uint32_t>(v >> 32), out + 4);
}
void appendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    std::uint8_t b[4];
    putU32(v, b);
    out.insert(out.end(), b, b + 4);
}

} // namespace

std::optional<FrameHeader> parseHeader(const std::uint8_t* bytes, std::string* why) {
    FrameHeader h;
    h.length = readU32(bytes);
    h.flags = readU32(bytes + 4);
    h.messageId = readU64(bytes + 8);
    h.replyTo = readU64(bytes + 16);
    auto fail = [&](const char* reason) -> std::optional<FrameHeader> {
        if (why) *why = reason;
        return std::nullopt;
    };
    if (h.length > kMaxFrameBytes) return fail("frame longer than the limit");
    if (h.flags & ~std::uint32_t(kWantsReply | kIsReply)) return fail("unknown frame flags");
    if ((h.flags & kWantsReply) && (h.flags & kIsReply)) return fail("a frame cannot both want and be a reply");
    if (!(h.flags & kIsReply) && h.replyTo != 0) return fail("reply-to id in a frame that is no reply");
    if ((h.flags & kIsReply) && h.replyTo == 0) return fail("a reply without the id it answers");
    return h;
}

void writeHeader(const FrameHeader& header, std::uint8_t* out) {
    putU32(header.length, out);
    putU32(header.flags, out + 4);
    putU64(header.messageId, out + 8);
    putU64(header.replyTo, out + 16);
}

std::vector<std::uint8_t> encodePayload(const Dictionary& dictionary) {
    std::vector<std::uint8_t> out;
    appendU32(out, static_cast<std::uint32_t>(dictionary.count()));
    for (const auto& [key, value] : dictionary.entries()) {
        const auto keyLength = static_cast<std::uint16_t>(key.size());
        out.push_back(static_cast<std::uint8_t>(keyLength));
        out.push_back(static_cast<std::uint8_t>(keyLength >> 8));
        out.insert(out.end(), key.begin(), key.end());
        if (const auto* data = std::get_if<std::vector<std::uint8_t>>(&value)) {
            out.push_back(kTypeData);
            appendU32(out, static_cast<std::uint32_t>(data->size()));
            out.insert(out.end(), data->begin(), data->end());
        } else {
            out.push_back(kTypeBool);
            appendU32(out, 1);
            out.push_back(std::get<bool>(value) ? 1 : 0);
        }
    }
    return out;
}

std::shared_ptr<Dictionary> decodePayload(std::span<const std::uint8_t> payload, std::string* why) {
    auto fail = [&](const char* reason) -> std::shared_ptr<Dictionary> {
        if (why) *why = reason;
        return nullptr;
    };
    if (payload.size() < 4) return fail("payload shorter than its entry count");
    const std::uint32_t count = readU32(payload.data());
    if (count > kMaxDictionaryEntries) return fail("too many entries");
    auto dictionary = Dictionary::create();
    std::size_t at = 4;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (payload.size() - at < 2) return fail("entry runs past the payload");
        const std::size_t keyLength = payload[at] | std::size_t(payload[at + 1]) << 8;
        at += 2;
        if (keyLength == 0 || keyLength > kMaxKeyBytes) return fail("bad key length");
        if (payload.size() - at < keyLength + 5) return fail("entry runs past the payload");
        const std::string_view key(reinterpret_cast<const char*>(payload.data() + at), keyLength);
        at += keyLength;
        if (!Dictionary::isValidKey(key)) return fail("bad key");
        if (dictionary->data(key) || dictionary->boolean(key)) return fail("duplicate key");
        const std::uint8_t type = payload[at];
        const std::uint32_t length = readU32(payload.data() + at + 1);
        at += 5;
        if (payload.size() - at < length) return fail("value runs past the payload");
        if (type == kTypeData) {
            dictionary->setData(key, payload.data() + at, length);
        } else if (type == kTypeBool) {
            if (length != 1 || payload[at] > 1) return fail("bad boolean");
            dictionary->setBool(key, payload[at] == 1);
        } else {
            return fail("unknown entry type");
        }
        at += length;
    }
    if (at != payload.size()) return fail("bytes after the last entry");
    return dictionary;
}

std::optional<std::vector<std::uint8_t>> encodeFrame(const Dictionary& dictionary, std::uint32_t flags,
                                                     std::uint64_t messageId, std::uint64_t replyTo) {
    std::vector<std::uint8_t> payload = encodePayload(dictionary);
    if (payload.size() > kMaxFrameBytes) return std::nullopt;
    std::vector<std::uint8_t> frame(kHeaderBytes);
    writeHeader({static_cast<std::uint32_t>(payload.size()), flags, messageId, replyTo}, frame.data());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

} // namespace pf::xpc::wire
