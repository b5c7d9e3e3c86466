#pragma once
// The pieces of a "bplist00" file that both the structural check and the
// reader use: the trailer's layout and the shape of one object. Internal to
// the property-list code.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pf::bplist {

struct Layout {
    const unsigned char* bytes = nullptr;
    std::size_t objectsEnd = 0; // the offset table starts here
    std::size_t offsetSize = 0;
    std::size_t refSize = 0;
    std::uint64_t objectCount = 0;
    std::uint64_t top = 0;
    const unsigned char* offsetTable = nullptr;
};

// What one object is and where its contents lie.
struct ObjectInfo {
    unsigned type = 0;            // high nibble of the marker
    unsigned low = 0;             // low nibble of the marker
    std::size_t contentAt = 0;    // first byte after the marker and any count
    std::uint64_t count = 0;      // elements of data, strings and containers
    std::size_t refsAt = 0;       // first object reference (containers)
    std::uint64_t childCount = 0; // references that follow (2 per dictionary entry)
};

std::uint64_t readBigEndian(const unsigned char* p, std::size_t size);

// The header, trailer and offset table checked against the size; nullopt when
// they do not fit (the objects themselves are not looked at).
std::optional<Layout> readLayout(std::string_view bytes, std::uint64_t maxObjects);

std::optional<std::size_t> objectOffset(const Layout& l, std::uint64_t index);

// Checks that the object lies inside the object area and has a known shape,
// and that its contents are valid: ASCII strings without bytes above 0x7F,
// UTF-16 strings without unpaired surrogates, dates the calendar can hold.
std::optional<ObjectInfo> inspect(const Layout& l, std::uint64_t index);

} // namespace pf::bplist
