#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>
#include <utf8.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/foundation/BinaryPropertyList.h"
#include "platform/foundation/SmallFile.h"

namespace pf {

namespace {

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct BinaryFree {
    void operator()(char* p) const { plist_to_bin_free(p); }
};

// The deepest nesting of <dict> and <array> elements, stopping early once it
// passes the limit. Comments, CDATA sections, declarations and processing
// instructions are skipped, as the parser skips them.
bool xmlNestingWithin(std::string_view xml, std::size_t maxDepth) {
    std::size_t depth = 0;
    std::size_t i = 0;
    auto skipPast = [&](std::string_view end) {
        std::size_t at = xml.find(end, i);
        i = at == std::string_view::npos ? xml.size() : at + end.size();
    };
    auto isNameEnd = [&](std::size_t at) {
        return at >= xml.size() || xml[at] == '>' || xml[at] == '/' || xml[at] == ' ' || xml[at] == '\t' ||
               xml[at] == '\n' || xml[at] == '\r';
    };
    while ((i = xml.find('<', i)) != std::string_view::npos) {
        std::string_view rest = xml.substr(i);
        if (rest.starts_with("<!--")) {
            skipPast("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            skipPast("]]>");
        } else if (rest.starts_with("<?")) {
            skipPast("?>");
        } else if (rest.starts_with("<!")) {
            skipPast(">");
        } else if ((rest.starts_with("</dict") && isNameEnd(i + 6)) || (rest.starts_with("</array") && isNameEnd(i + 7))) {
            if (depth > 0) --depth;
            skipPast(">");
        } else if ((rest.starts_with("<dict") && isNameEnd(i + 5)) || (rest.starts_with("<array") && isNameEnd(i + 6))) {
            std::size_t close = xml.find('>', i);
            bool empty = close != std::string_view::npos && xml[close - 1] == '/';
            if (!empty && ++depth > maxDepth) return false;
            i = close == std::string_view::npos ? xml.size() : close + 1;
        } else {
            ++i;
        }
    }
    return true;
}

bool looksLikeXML(std::string_view bytes) {
    std::size_t i = bytes.find_first_not_of(" \t\r\n");
    return i != std::string_view::npos && bytes[i] == '<';
}

// XML dates are ISO 8601 with a year of four digits at most, as libplist
// reads them back: 0001-01-01 to 9999-12-31, in seconds since 2001.
bool datesFitXML(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Date: {
        const double seconds = v.date().timeIntervalSinceReferenceDate();
        return seconds >= -63113904000.0 && seconds < 252423993600.0;
    }
    case Value::Kind::Array: return std::all_of(v.array().begin(), v.array().end(), datesFitXML);
    case Value::Kind::Dictionary:
        return std::all_of(v.dictionary().begin(), v.dictionary().end(),
                           [](const auto& entry) { return datesFitXML(entry.second); });
    default: return true;
    }
}

} // namespace

std::optional<Value> propertyListFromBytes(std::string_view bytes, const PropertyListLimits& limits) {
    if (bytes.size() > limits.maxBytes || bytes.size() > UINT32_MAX) return std::nullopt;
    if (bytes.starts_with("bplist")) return readBinaryPropertyList(bytes, limits);
    // A UTF-8 byte-order mark may open an XML list, as the platform reads it;
    // libplist does not skip one.
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    // XML is parsed by libplist and handed over in its binary form, which
    // keeps what its accessors lose (unsigned integers, dates as doubles), so
    // one decoder makes every value. The text must be UTF-8: libplist's
    // binary writer would silently cut a string at an invalid sequence.
    if (!looksLikeXML(bytes) || !xmlNestingWithin(bytes, limits.maxDepth) ||
        !utf8::is_valid(bytes.begin(), bytes.end()))
        return std::nullopt;
    // The parser is handed a NUL-terminated copy so it can never scan past the end.
    const std::string copy(bytes);
    plist_t root = nullptr;
    plist_from_xml(copy.c_str(), static_cast<uint32_t>(copy.size()), &root);
    PlistPtr owner(root);
    if (!root) return std::nullopt;
    char* binary = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &binary, &length);
    std::unique_ptr<char, BinaryFree> binaryOwner(binary);
    if (!binary) return std::nullopt;
    // The binary form of parsed text can be a little longer than the text.
    PropertyListLimits binaryLimits = limits;
    binaryLimits.maxBytes = std::max<std::size_t>(limits.maxBytes, length);
    return readBinaryPropertyList(std::string_view(binary, length), binaryLimits);
}

std::optional<Value> propertyListFromBytes(const Data& bytes, const PropertyListLimits& limits) {
    return propertyListFromBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), limits);
}

std::optional<Value> propertyListFromFile(const std::string& path, const PropertyListLimits& limits) {
    const auto bytes = readSmallRegularFile(path, limits.maxBytes);
    if (!bytes) return std::nullopt;
    return propertyListFromBytes(std::string_view(*bytes), limits);
}

std::optional<Data> binaryPropertyList(const Value& value) {
    if (!value.isPropertyList()) return std::nullopt;
    return writeBinaryPropertyList(value);
}

std::optional<std::string> xmlPropertyList(const Value& value) {
    // Our binary form, read by libplist and printed as XML: libplist's own
    // nodes cannot be made for unsigned integers above INT64_MAX.
    if (!value.isPropertyList() || !datesFitXML(value)) return std::nullopt;
    const std::optional<Data> binary = writeBinaryPropertyList(value);
    if (!binary) return std::nullopt;
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(binary->data()), static_cast<uint32_t>(binary->size()), &root);
    PlistPtr owner(root);
    if (!root) return std::nullopt;
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    if (!xml) return std::nullopt;
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

} // namespace pf
