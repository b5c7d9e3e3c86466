#include "platform/foundation/PropertyList.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/foundation/BinaryPropertyList.h"

namespace pf {

namespace {

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct MallocFree {
    void operator()(void* p) const { std::free(p); }
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

// libplist node -> Value; the depth and the number of values made are bounded again here.
// Depth counts containers only, as the checks before parsing do: a leaf
// inside a container at the limit is within it.
struct Reader {
    const PropertyListLimits& limits;
    std::size_t made = 0;

    bool read(plist_t node, std::size_t depth, Value& out) {
        if (++made > limits.maxObjects) return false;
        const plist_type type = plist_get_node_type(node);
        if ((type == PLIST_ARRAY || type == PLIST_DICT) && depth > limits.maxDepth) return false;
        switch (type) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            out = Value(b != 0);
            return true;
        }
        case PLIST_UINT: {
            // libplist keeps every integer as 64 bits; negative numbers are
            // their two's-complement pattern.
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            out = Value(static_cast<long long>(u));
            return true;
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            out = Value(d);
            return true;
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            out = Value(Date::fromReferenceDate(double(sec) + double(usec) / 1e6));
            return true;
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            uint64_t length = 0;
            const char* s = plist_get_string_ptr(node, &length);
            out = Value(std::string(s ? s : "", s ? std::size_t(length) : 0));
            return true;
        }
        case PLIST_DATA: {
            uint64_t length = 0;
            const char* p = plist_get_data_ptr(node, &length);
            out = Value(Data(reinterpret_cast<const std::uint8_t*>(p), reinterpret_cast<const std::uint8_t*>(p) + (p ? length : 0)));
            return true;
        }
        case PLIST_ARRAY: {
            Array array;
            array.reserve(plist_array_get_size(node));
            plist_array_iter iter = nullptr;
            plist_array_new_iter(node, &iter);
            std::unique_ptr<void, MallocFree> iterOwner(iter);
            for (;;) {
                plist_t item = nullptr;
                plist_array_next_item(node, iter, &item);
                if (!item) break;
                array.emplace_back();
                if (!read(item, depth + 1, array.back())) return false;
            }
            out = Value(std::move(array));
            return true;
        }
        case PLIST_DICT: {
            Dictionary dict;
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            std::unique_ptr<void, MallocFree> iterOwner(iter);
            for (;;) {
                // The key node is checked before it is read as a key (the
                // binary check has already refused keys libplist would abort on).
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, nullptr, &item);
                if (!item) break;
                plist_t keyNode = plist_dict_item_get_key(item);
                if (!keyNode || plist_get_node_type(keyNode) != PLIST_KEY) return false;
                char* key = nullptr;
                plist_get_key_val(keyNode, &key);
                std::unique_ptr<char, MallocFree> keyOwner(key);
                if (!key) return false;
                Value v;
                if (!read(item, depth + 1, v)) return false;
                dict.insert_or_assign(std::string(key), std::move(v));
            }
            out = Value(std::move(dict));
            return true;
        }
        default: return false;
        }
    }
};

std::optional<Value> toValue(plist_t root, const PropertyListLimits& limits) {
    if (!root) return std::nullopt;
    Reader reader{limits};
    Value out;
    if (!reader.read(root, 1, out)) return std::nullopt;
    return out;
}

bool looksLikeXML(std::string_view bytes) {
    std::size_t i = bytes.find_first_not_of(" \t\r\n");
    return i != std::string_view::npos && bytes[i] == '<';
}

// Value -> libplist node for the XML writer; nullptr when something cannot
// be written faithfully (null, objects, strings that are no NUL-free UTF-8,
// unsigned integers above INT64_MAX, which libplist 2.2 prints as negative).
plist_t toNode(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::String:
        if (!isPropertyListString(v.string())) return nullptr;
        return plist_new_string(v.string().c_str());
    case Value::Kind::Integer:
        if (v.isUnsignedInteger()) return nullptr;
        return plist_new_uint(static_cast<uint64_t>(v.integer()));
    case Value::Kind::Real: return plist_new_real(v.real());
    case Value::Kind::Boolean: return plist_new_bool(v.boolean() ? 1 : 0);
    case Value::Kind::Date: {
        double ref = v.date().timeIntervalSinceReferenceDate();
        if (!std::isfinite(ref) || ref < -2147483648.0 || ref >= 2147483647.0) return nullptr;
        double sec = std::floor(ref);
        long usec = std::lround((ref - sec) * 1e6);
        if (usec >= 1000000) {
            sec += 1;
            usec -= 1000000;
        }
        return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec));
    }
    case Value::Kind::Data:
        return plist_new_data(reinterpret_cast<const char*>(v.data().data()), v.data().size());
    case Value::Kind::Array: {
        PlistPtr array(plist_new_array());
        for (const Value& item : v.array()) {
            plist_t node = toNode(item);
            if (!node) return nullptr;
            plist_array_append_item(array.get(), node);
        }
        return array.release();
    }
    case Value::Kind::Dictionary: {
        PlistPtr dict(plist_new_dict());
        for (const auto& [key, item] : v.dictionary()) {
            if (!isPropertyListString(key)) return nullptr;
            plist_t node = toNode(item);
            if (!node) return nullptr;
            plist_dict_set_item(dict.get(), key.c_str(), node);
        }
        return dict.release();
    }
    default: return nullptr;
    }
}

} // namespace

std::optional<Value> propertyListFromBytes(std::string_view bytes, const PropertyListLimits& limits) {
    if (bytes.size() > limits.maxBytes || bytes.size() > UINT32_MAX) return std::nullopt;
    if (bytes.starts_with("bplist")) return readBinaryPropertyList(bytes, limits);
    // A UTF-8 byte-order mark may open an XML list, as the platform reads it;
    // libplist does not skip one.
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    plist_t root = nullptr;
    if (looksLikeXML(bytes)) {
        if (!xmlNestingWithin(bytes, limits.maxDepth)) return std::nullopt;
        // The parser is handed a NUL-terminated copy so it can never scan past the end.
        std::string copy(bytes);
        plist_from_xml(copy.c_str(), static_cast<uint32_t>(copy.size()), &root);
    } else {
        return std::nullopt;
    }
    PlistPtr owner(root);
    return toValue(root, limits);
}

std::optional<Value> propertyListFromBytes(const Data& bytes, const PropertyListLimits& limits) {
    return propertyListFromBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), limits);
}

std::optional<Value> propertyListFromFile(const std::string& path, const PropertyListLimits& limits) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || std::uint64_t(st.st_size) > limits.maxBytes) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(std::size_t(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        bytes.append(buffer, std::size_t(n));
        if (bytes.size() > limits.maxBytes) return std::nullopt; // the file grew while being read
    }
    return propertyListFromBytes(std::string_view(bytes), limits);
}

std::optional<Data> binaryPropertyList(const Value& value) {
    if (!value.isPropertyList()) return std::nullopt;
    return writeBinaryPropertyList(value);
}

std::optional<std::string> xmlPropertyList(const Value& value) {
    if (!value.isPropertyList()) return std::nullopt;
    PlistPtr root(toNode(value));
    if (!root) return std::nullopt;
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml) return std::nullopt;
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

} // namespace pf
