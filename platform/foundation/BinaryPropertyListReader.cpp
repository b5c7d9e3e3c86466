#include <utf8.h>

#include <bit>
#include <cstdint>

#include "platform/foundation/BinaryPropertyList.h"
#include "platform/foundation/BinaryPropertyListCheck.h"
#include "platform/foundation/BinaryPropertyListLayout.h"

namespace pf {

namespace {

using bplist::Layout;
using bplist::ObjectInfo;
using bplist::readBigEndian;

// Decodes objects the structural check has already accepted: references are
// in range, the graph is acyclic and its depth and expansion are bounded.
// What is left to bound is the bytes the copies of shared strings make.
struct Decoder {
    const Layout& l;
    std::size_t bytesLeft;

    bool take(std::uint64_t bytes) {
        if (bytes > bytesLeft) return false;
        bytesLeft -= std::size_t(bytes);
        return true;
    }

    std::optional<std::string> string(const ObjectInfo& info) {
        const char* at = reinterpret_cast<const char*>(l.bytes + info.contentAt);
        if (info.type == 0x5) {
            if (!take(info.count)) return std::nullopt;
            return std::string(at, std::size_t(info.count));
        }
        if (info.type != 0x6 || !take(info.count * 3)) return std::nullopt;
        std::u16string units(std::size_t(info.count), u'\0');
        for (std::size_t i = 0; i < units.size(); ++i)
            units[i] = char16_t(readBigEndian(l.bytes + info.contentAt + 2 * i, 2));
        std::string out;
        utf8::utf16to8(units.begin(), units.end(), std::back_inserter(out)); // pairing checked already
        return out;
    }

    static Value integer(const unsigned char* p, unsigned sizeLog2) {
        // 1-, 2- and 4-byte integers are unsigned, 8 bytes signed, and 16
        // bytes a signed 128-bit number the check has found to fit 64 bits.
        if (sizeLog2 == 4) {
            const std::uint64_t low = readBigEndian(p + 8, 8);
            return p[0] == 0 ? Value(static_cast<unsigned long long>(low)) : Value(static_cast<long long>(low));
        }
        const std::uint64_t bits = readBigEndian(p, std::size_t(1) << sizeLog2);
        return Value(static_cast<long long>(bits));
    }

    std::optional<Value> decode(std::uint64_t index) {
        const std::optional<ObjectInfo> found = bplist::inspect(l, index);
        if (!found) return std::nullopt;
        const ObjectInfo& info = *found;
        const unsigned char* p = l.bytes + info.contentAt;
        switch (info.type) {
        case 0x0: return Value(info.low == 0x9);
        case 0x1: return integer(p, info.low);
        case 0x2:
            if (info.low == 2) return Value(double(std::bit_cast<float>(std::uint32_t(readBigEndian(p, 4)))));
            return Value(std::bit_cast<double>(readBigEndian(p, 8)));
        case 0x3: return Value(Date::fromReferenceDate(std::bit_cast<double>(readBigEndian(p, 8))));
        case 0x8: return Value(static_cast<unsigned long long>(readBigEndian(p, info.low + 1)));
        case 0x4:
            if (!take(info.count)) return std::nullopt;
            return Value(Data(p, p + info.count));
        case 0x5:
        case 0x6: {
            std::optional<std::string> s = string(info);
            if (!s) return std::nullopt;
            return Value(std::move(*s));
        }
        case 0xA:
        case 0xC: {
            Array array;
            array.reserve(std::size_t(info.count));
            for (std::uint64_t i = 0; i < info.count; ++i) {
                std::optional<Value> item = decode(reference(info, i));
                if (!item) return std::nullopt;
                array.push_back(std::move(*item));
            }
            return Value(std::move(array));
        }
        case 0xD: {
            Dictionary dict;
            for (std::uint64_t i = 0; i < info.count; ++i) {
                std::optional<ObjectInfo> keyInfo = bplist::inspect(l, reference(info, i));
                std::optional<std::string> key = keyInfo ? string(*keyInfo) : std::nullopt;
                std::optional<Value> item = decode(reference(info, info.count + i));
                if (!key || !item) return std::nullopt;
                dict.insert_or_assign(std::move(*key), std::move(*item));
            }
            return Value(std::move(dict));
        }
        default: return std::nullopt;
        }
    }

    std::uint64_t reference(const ObjectInfo& info, std::uint64_t i) const {
        return readBigEndian(l.bytes + info.refsAt + i * l.refSize, l.refSize);
    }
};

} // namespace

std::optional<Value> readBinaryPropertyList(std::string_view bytes, const PropertyListLimits& limits) {
    if (!isWellFormedBinaryPropertyList(bytes, limits)) return std::nullopt;
    const std::optional<Layout> layout = bplist::readLayout(bytes, limits.maxObjects);
    if (!layout) return std::nullopt;
    Decoder decoder{*layout, limits.maxBytes};
    return decoder.decode(layout->top);
}

} // namespace pf
