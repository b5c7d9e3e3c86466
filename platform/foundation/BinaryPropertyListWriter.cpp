#include <utf8.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/BinaryPropertyList.h"

namespace pf {

namespace {

void putBigEndian(std::string& out, std::uint64_t v, std::size_t size) {
    for (std::size_t i = size; i-- > 0;) out += char((v >> (8 * i)) & 0xFF);
}

std::size_t bytesFor(std::uint64_t v) {
    if (v <= 0xFF) return 1;
    if (v <= 0xFFFF) return 2;
    if (v <= 0xFFFFFFFF) return 4;
    return 8;
}

unsigned log2Of(std::size_t size) { return unsigned(std::countr_zero(size)); }

// A marker with its element count, in the low nibble or as an integer after it.
void putMarker(std::string& out, unsigned type, std::uint64_t count) {
    if (count < 0xF) {
        out += char((type << 4) | count);
        return;
    }
    out += char((type << 4) | 0xF);
    const std::size_t size = bytesFor(count);
    out += char(0x10 | log2Of(size));
    putBigEndian(out, count, size);
}

std::uint64_t countObjects(const Value& v) {
    std::uint64_t n = 1;
    if (v.isArray())
        for (const Value& item : v.array()) n += countObjects(item);
    if (v.isDictionary())
        for (const auto& [key, item] : v.dictionary()) n += 1 + countObjects(item);
    return n;
}

// Objects are written in preorder, each container before its elements, so
// the top object is object 0.
struct Encoder {
    std::size_t refSize;
    std::vector<std::string> objects;

    bool addString(std::string_view s) {
        if (!isPropertyListString(s)) return false;
        std::string out;
        if (std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
            putMarker(out, 0x5, s.size());
            out += s;
        } else {
            std::u16string units;
            utf8::utf8to16(s.begin(), s.end(), std::back_inserter(units));
            putMarker(out, 0x6, units.size());
            for (char16_t unit : units) putBigEndian(out, unit, 2);
        }
        objects.push_back(std::move(out));
        return true;
    }

    bool addContainer(unsigned type, std::uint64_t count, const std::vector<const Value*>& items,
                      const std::vector<std::string_view>& keys) {
        const std::size_t at = objects.size();
        objects.emplace_back();
        std::vector<std::uint64_t> refs;
        for (std::string_view key : keys) {
            refs.push_back(objects.size());
            if (!addString(key)) return false;
        }
        for (const Value* item : items) {
            refs.push_back(objects.size());
            if (!add(*item)) return false;
        }
        std::string out;
        putMarker(out, type, count);
        for (std::uint64_t ref : refs) putBigEndian(out, ref, refSize);
        objects[at] = std::move(out);
        return true;
    }

    bool add(const Value& v) {
        std::string out;
        switch (v.kind()) {
        case Value::Kind::String: return addString(v.string());
        case Value::Kind::Boolean: out += char(v.boolean() ? 0x09 : 0x08); break;
        case Value::Kind::Integer:
            if (v.isUnsignedInteger()) { // a 16-byte integer keeps it unsigned
                out += char(0x14);
                putBigEndian(out, 0, 8);
                putBigEndian(out, v.unsignedInteger(), 8);
            } else if (v.integer() < 0) {
                out += char(0x13);
                putBigEndian(out, v.unsignedInteger(), 8);
            } else {
                const std::size_t size = bytesFor(v.unsignedInteger());
                out += char(0x10 | log2Of(size));
                putBigEndian(out, v.unsignedInteger(), size);
            }
            break;
        case Value::Kind::Real:
            out += char(0x23);
            putBigEndian(out, std::bit_cast<std::uint64_t>(v.real()), 8);
            break;
        case Value::Kind::Date:
            if (!v.date().isWithinCalendar()) return false;
            out += char(0x33);
            putBigEndian(out, std::bit_cast<std::uint64_t>(v.date().timeIntervalSinceReferenceDate()), 8);
            break;
        case Value::Kind::Data:
            putMarker(out, 0x4, v.data().size());
            out.append(v.data().begin(), v.data().end());
            break;
        case Value::Kind::Array: {
            std::vector<const Value*> items;
            for (const Value& item : v.array()) items.push_back(&item);
            return addContainer(0xA, items.size(), items, {});
        }
        case Value::Kind::Dictionary: {
            std::vector<const Value*> items;
            std::vector<std::string_view> keys;
            for (const auto& [key, item] : v.dictionary()) {
                keys.push_back(key);
                items.push_back(&item);
            }
            return addContainer(0xD, items.size(), items, keys);
        }
        default: return false; // null and objects have no property-list form
        }
        objects.push_back(std::move(out));
        return true;
    }
};

} // namespace

bool isPropertyListString(std::string_view s) {
    return s.find('\0') == std::string_view::npos && utf8::is_valid(s.begin(), s.end());
}

std::optional<Data> writeBinaryPropertyList(const Value& value) {
    const std::uint64_t count = countObjects(value);
    Encoder encoder{bytesFor(count), {}};
    if (!encoder.add(value)) return std::nullopt;

    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    offsets.reserve(encoder.objects.size());
    for (const std::string& object : encoder.objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const std::uint64_t tableOffset = out.size();
    const std::size_t offsetSize = bytesFor(offsets.back());
    for (std::uint64_t offset : offsets) putBigEndian(out, offset, offsetSize);
    out.append(6, '\0');
    out += char(offsetSize);
    out += char(encoder.refSize);
    putBigEndian(out, offsets.size(), 8);
    putBigEndian(out, 0, 8); // the top object
    putBigEndian(out, tableOffset, 8);
    return Data(out.begin(), out.end());
}

} // namespace pf
