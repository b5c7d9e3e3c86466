#include "platform/foundation/BinaryPropertyListCheck.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace pf {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

std::uint64_t readBigEndian(const unsigned char* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

struct Layout {
    const unsigned char* bytes;
    std::size_t objectsEnd; // the offset table starts here
    std::size_t offsetSize;
    std::size_t refSize;
    std::uint64_t objectCount;
    const unsigned char* offsetTable;
};

// What the check needs to know of one object.
struct ObjectInfo {
    unsigned type = 0;          // high nibble of the marker
    std::size_t refsAt = 0;     // first object reference (containers)
    std::uint64_t childCount = 0; // references that follow (2 per dictionary entry)
};

// The element count of a variable-length object, either in the marker's low
// nibble or as an integer object right after it. Advances pos past it.
std::optional<std::uint64_t> readCount(const Layout& l, unsigned info, std::size_t& pos) {
    if (info != 0xF) return info;
    if (pos >= l.objectsEnd) return std::nullopt;
    unsigned marker = l.bytes[pos++];
    if ((marker >> 4) != 0x1 || (marker & 0xF) > 3) return std::nullopt;
    std::size_t size = std::size_t(1) << (marker & 0xF);
    if (size > l.objectsEnd - pos) return std::nullopt;
    std::uint64_t count = readBigEndian(l.bytes + pos, size);
    pos += size;
    return count;
}

std::optional<std::size_t> objectOffset(const Layout& l, std::uint64_t index) {
    if (index >= l.objectCount) return std::nullopt;
    std::uint64_t offset = readBigEndian(l.offsetTable + index * l.offsetSize, l.offsetSize);
    if (offset < kHeaderSize || offset >= l.objectsEnd) return std::nullopt;
    return std::size_t(offset);
}

// Checks that the object lies inside the object area and has a known shape.
std::optional<ObjectInfo> inspect(const Layout& l, std::uint64_t index) {
    auto offset = objectOffset(l, index);
    if (!offset) return std::nullopt;
    std::size_t pos = *offset;
    unsigned marker = l.bytes[pos++];
    ObjectInfo info;
    info.type = marker >> 4;
    unsigned low = marker & 0xF;
    std::size_t left = l.objectsEnd - pos;
    switch (info.type) {
    case 0x0: // false, true
        if (marker != 0x08 && marker != 0x09) return std::nullopt;
        return info;
    case 0x1: // integer of 1, 2, 4, 8 or 16 bytes
        if (low > 4 || (std::size_t(1) << low) > left) return std::nullopt;
        return info;
    case 0x2: // real of 4 or 8 bytes
        if ((low != 2 && low != 3) || (std::size_t(1) << low) > left) return std::nullopt;
        return info;
    case 0x3: // date
        if (marker != 0x33 || left < 8) return std::nullopt;
        return info;
    case 0x8: { // UID
        std::size_t size = low + 1;
        if ((size != 1 && size != 2 && size != 4 && size != 8) || size > left) return std::nullopt;
        return info;
    }
    case 0x4: // data
    case 0x5: // ASCII string
    case 0x6: { // UTF-16 string
        auto count = readCount(l, low, pos);
        if (!count) return std::nullopt;
        std::size_t unit = info.type == 0x6 ? 2 : 1;
        if (*count > (l.objectsEnd - pos) / unit) return std::nullopt;
        return info;
    }
    case 0xA: // array
    case 0xC: // set
    case 0xD: { // dictionary: keys, then values
        auto count = readCount(l, low, pos);
        if (!count) return std::nullopt;
        std::uint64_t refs = *count;
        if (info.type == 0xD) {
            if (refs > UINT64_MAX / 2) return std::nullopt;
            refs *= 2;
        }
        if (refs > (l.objectsEnd - pos) / l.refSize) return std::nullopt;
        info.refsAt = pos;
        info.childCount = refs;
        return info;
    }
    default: return std::nullopt;
    }
}

// A dictionary key must be a string without NUL characters: libplist reads
// keys as C strings and aborts the process on one with a NUL inside.
bool isUsableKey(const Layout& l, std::uint64_t index) {
    auto offset = objectOffset(l, index);
    if (!offset) return false;
    std::size_t pos = *offset;
    const unsigned marker = l.bytes[pos++];
    const unsigned type = marker >> 4;
    if (type != 0x5 && type != 0x6) return false;
    auto count = readCount(l, marker & 0xF, pos);
    const std::size_t unit = type == 0x6 ? 2 : 1;
    if (!count || *count > (l.objectsEnd - pos) / unit) return false;
    for (std::uint64_t i = 0; i < *count; ++i) {
        const unsigned char* at = l.bytes + pos + i * unit;
        if (at[0] == 0 && (unit == 1 || at[1] == 0)) return false;
    }
    return true;
}

enum class Mark : std::uint8_t { Unseen, InProgress, Done };

struct Frame {
    std::uint64_t index;
    ObjectInfo info;
    std::uint64_t next = 0;     // next reference to visit
    std::uint64_t expanded = 1; // objects the reader will make for this subtree
};

} // namespace

bool isWellFormedBinaryPropertyList(std::string_view text, const PropertyListLimits& limits) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    if (size > limits.maxBytes || size < kHeaderSize + 1 + kTrailerSize) return false;
    if (std::memcmp(bytes, "bplist00", kHeaderSize) != 0) return false;

    const unsigned char* trailer = bytes + size - kTrailerSize;
    Layout l;
    l.bytes = bytes;
    l.offsetSize = trailer[6];
    l.refSize = trailer[7];
    l.objectCount = readBigEndian(trailer + 8, 8);
    const std::uint64_t top = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    if (l.offsetSize < 1 || l.offsetSize > 8 || l.refSize < 1 || l.refSize > 8) return false;
    if (l.objectCount == 0 || l.objectCount > limits.maxObjects || top >= l.objectCount) return false;
    const std::size_t tableEnd = size - kTrailerSize;
    if (tableOffset <= kHeaderSize || tableOffset > tableEnd) return false;
    if (l.objectCount > (tableEnd - tableOffset) / l.offsetSize) return false;
    l.objectsEnd = std::size_t(tableOffset);
    l.offsetTable = bytes + tableOffset;
    // Every object takes at least one byte.
    if (l.objectCount > l.objectsEnd - kHeaderSize) return false;

    std::vector<Mark> marks(l.objectCount, Mark::Unseen);
    std::vector<std::uint64_t> expanded(l.objectCount, 0);
    const std::uint64_t maxExpanded = limits.maxObjects;

    auto topInfo = inspect(l, top);
    if (!topInfo) return false;
    std::vector<Frame> stack;
    stack.push_back(Frame{top, *topInfo});
    marks[top] = Mark::InProgress;
    if (limits.maxDepth == 0) return false;

    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.info.childCount) {
            marks[frame.index] = Mark::Done;
            expanded[frame.index] = frame.expanded;
            std::uint64_t done = frame.expanded;
            stack.pop_back();
            if (!stack.empty()) {
                stack.back().expanded += done;
                if (stack.back().expanded > maxExpanded) return false;
            }
            continue;
        }
        const std::uint64_t ref = readBigEndian(l.bytes + frame.info.refsAt + frame.next * l.refSize, l.refSize);
        const bool isKey = frame.info.type == 0xD && frame.next < frame.info.childCount / 2;
        ++frame.next;
        if (ref >= l.objectCount) return false;
        if (isKey && !isUsableKey(l, ref)) return false;
        switch (marks[ref]) {
        case Mark::InProgress: return false; // a cycle
        case Mark::Done:
            frame.expanded += expanded[ref];
            if (frame.expanded > maxExpanded) return false;
            continue;
        case Mark::Unseen: break;
        }
        auto info = inspect(l, ref);
        if (!info) return false;
        if (info->childCount == 0) {
            marks[ref] = Mark::Done;
            expanded[ref] = 1;
            if (++frame.expanded > maxExpanded) return false;
            continue;
        }
        if (stack.size() >= limits.maxDepth) return false;
        marks[ref] = Mark::InProgress;
        stack.push_back(Frame{ref, *info}); // invalidates frame
    }
    return expanded[top] <= maxExpanded;
}

} // namespace pf
