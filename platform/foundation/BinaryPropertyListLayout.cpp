#include "platform/foundation/BinaryPropertyListLayout.h"

#include <bit>
#include <cstring>

#include "platform/foundation/Date.h"

namespace pf::bplist {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

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

bool isAscii(const unsigned char* p, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i)
        if (p[i] > 0x7F) return false;
    return true;
}

// Every high surrogate is followed by a low one, and no low one stands alone.
bool isPairedUtf16(const unsigned char* p, std::uint64_t units) {
    for (std::uint64_t i = 0; i < units; ++i) {
        const unsigned unit = (unsigned(p[2 * i]) << 8) | p[2 * i + 1];
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (++i == units) return false;
            const unsigned next = (unsigned(p[2 * i]) << 8) | p[2 * i + 1];
            if (next < 0xDC00 || next > 0xDFFF) return false;
        }
    }
    return true;
}

// A 16-byte integer is a signed 128-bit number; only those a 64-bit integer
// can hold (signed, or unsigned above INT64_MAX) are read.
bool fitsIn64Bits(const unsigned char* p) {
    const std::uint64_t high = readBigEndian(p, 8);
    const bool negative = p[8] & 0x80;
    return high == 0 || (high == UINT64_MAX && negative);
}

bool isCalendarDate(const unsigned char* p) {
    const double seconds = std::bit_cast<double>(readBigEndian(p, 8));
    return Date::fromReferenceDate(seconds).isWithinCalendar();
}

} // namespace

std::uint64_t readBigEndian(const unsigned char* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

std::optional<Layout> readLayout(std::string_view text, std::uint64_t maxObjects) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    if (size < kHeaderSize + 1 + kTrailerSize) return std::nullopt;
    if (std::memcmp(bytes, "bplist00", kHeaderSize) != 0) return std::nullopt;

    const unsigned char* trailer = bytes + size - kTrailerSize;
    Layout l;
    l.bytes = bytes;
    l.offsetSize = trailer[6];
    l.refSize = trailer[7];
    l.objectCount = readBigEndian(trailer + 8, 8);
    l.top = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    if (l.offsetSize < 1 || l.offsetSize > 8 || l.refSize < 1 || l.refSize > 8) return std::nullopt;
    if (l.objectCount == 0 || l.objectCount > maxObjects || l.top >= l.objectCount) return std::nullopt;
    const std::size_t tableEnd = size - kTrailerSize;
    if (tableOffset <= kHeaderSize || tableOffset > tableEnd) return std::nullopt;
    if (l.objectCount > (tableEnd - tableOffset) / l.offsetSize) return std::nullopt;
    l.objectsEnd = std::size_t(tableOffset);
    l.offsetTable = bytes + tableOffset;
    // Every object takes at least one byte.
    if (l.objectCount > l.objectsEnd - kHeaderSize) return std::nullopt;
    return l;
}

std::optional<std::size_t> objectOffset(const Layout& l, std::uint64_t index) {
    if (index >= l.objectCount) return std::nullopt;
    std::uint64_t offset = readBigEndian(l.offsetTable + index * l.offsetSize, l.offsetSize);
    if (offset < kHeaderSize || offset >= l.objectsEnd) return std::nullopt;
    return std::size_t(offset);
}

std::optional<ObjectInfo> inspect(const Layout& l, std::uint64_t index) {
    auto offset = objectOffset(l, index);
    if (!offset) return std::nullopt;
    std::size_t pos = *offset;
    unsigned marker = l.bytes[pos++];
    ObjectInfo info;
    info.type = marker >> 4;
    info.low = marker & 0xF;
    info.contentAt = pos;
    const unsigned low = info.low;
    std::size_t left = l.objectsEnd - pos;
    switch (info.type) {
    case 0x0: // false, true
        if (marker != 0x08 && marker != 0x09) return std::nullopt;
        return info;
    case 0x1: // integer of 1, 2, 4, 8 or 16 bytes
        if (low > 4 || (std::size_t(1) << low) > left) return std::nullopt;
        if (low == 4 && !fitsIn64Bits(l.bytes + pos)) return std::nullopt;
        return info;
    case 0x2: // real of 4 or 8 bytes
        if ((low != 2 && low != 3) || (std::size_t(1) << low) > left) return std::nullopt;
        return info;
    case 0x3: // date
        if (marker != 0x33 || left < 8 || !isCalendarDate(l.bytes + pos)) return std::nullopt;
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
        if (info.type == 0x5 && !isAscii(l.bytes + pos, *count)) return std::nullopt;
        if (info.type == 0x6 && !isPairedUtf16(l.bytes + pos, *count)) return std::nullopt;
        info.contentAt = pos;
        info.count = *count;
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
        info.contentAt = info.refsAt = pos;
        info.count = *count;
        info.childCount = refs;
        return info;
    }
    default: return std::nullopt;
    }
}

} // namespace pf::bplist
