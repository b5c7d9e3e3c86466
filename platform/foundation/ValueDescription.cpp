// Value::description(): the text the platform prints for "%@" of a
// property-list value, including the old-style layout of nested collections.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/foundation/Value.h"

namespace pf {

namespace {

std::string indent(int level) { return std::string(std::size_t(level) * 4, ' '); }

std::string describeReal(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    // The shortest of %.15g..%.17g that reads back as the same double.
    char text[64];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, d);
        if (std::strtod(text, nullptr) == d) break;
    }
    return text;
}

std::string describeData(const Data& data) {
    static const char hex[] = "0123456789abcdef";
    auto bytes = [&](std::size_t from, std::size_t to) {
        std::string s;
        for (std::size_t i = from; i < to; ++i) {
            s += hex[data[i] >> 4];
            s += hex[data[i] & 15];
        }
        return s;
    };
    std::string text = "{length = " + std::to_string(data.size()) + ", bytes = 0x";
    if (data.size() <= 24) {
        text += bytes(0, data.size());
    } else {
        text += bytes(0, 8) + " ... " + bytes(data.size() - 4, data.size());
    }
    return text + "}";
}

bool isPlainChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '/';
}

void appendUnicodeEscape(std::string& out, unsigned unit) {
    char text[16];
    std::snprintf(text, sizeof text, "\\U%04x", unit);
    out += text;
}

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i,
// or returns -1 (and advances one byte) for a malformed sequence.
long decodeUTF8(const std::string& s, std::size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int extra = c >= 0xF0 && c < 0xF5 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : -1;
    if (c >= 0xF5) extra = -1;
    if (extra < 0 || i + std::size_t(extra) >= s.size()) {
        ++i;
        return -1;
    }
    long cp = c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + std::size_t(k)]);
        if ((cc & 0xC0) != 0x80) {
            ++i;
            return -1;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    i += std::size_t(extra) + 1;
    return cp;
}

// Strings inside collections are quoted unless they are plain words; the
// platform escapes quotes, backslashes, controls and non-ASCII characters.
std::string quoteIfNeeded(const std::string& s) {
    bool plain = !s.empty();
    for (unsigned char c : s) plain = plain && isPlainChar(c);
    if (plain) return s;
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            long cp = decodeUTF8(s, i);
            if (cp < 0) {
                appendUnicodeEscape(out, c);
            } else if (cp >= 0x10000) {
                cp -= 0x10000;
                appendUnicodeEscape(out, unsigned(0xD800 + (cp >> 10)));
                appendUnicodeEscape(out, unsigned(0xDC00 + (cp & 0x3FF)));
            } else {
                appendUnicodeEscape(out, unsigned(cp));
            }
            continue;
        }
        ++i;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char text[8];
                std::snprintf(text, sizeof text, "\\%03o", c);
                out += text;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

std::string describe(const Value& v, int level);

// An element of a collection: collections and data lay themselves out,
// everything else is a leaf whose text is quoted when it needs to be.
std::string describeElement(const Value& v, int level) {
    switch (v.kind()) {
    case Value::Kind::Array:
    case Value::Kind::Dictionary: return describe(v, level);
    case Value::Kind::String: return quoteIfNeeded(v.string());
    case Value::Kind::Date:
    case Value::Kind::Object: return quoteIfNeeded(v.description());
    default: return v.description();
    }
}

std::string describe(const Value& v, int level) {
    switch (v.kind()) {
    case Value::Kind::Null: return "(null)";
    case Value::Kind::String: return v.string();
    case Value::Kind::Integer: return v.isUnsignedInteger() ? std::to_string(v.unsignedInteger()) : std::to_string(v.integer());
    case Value::Kind::Real: return describeReal(v.real());
    case Value::Kind::Boolean: return v.boolean() ? "1" : "0";
    case Value::Kind::Date: return v.date().description();
    case Value::Kind::Data: return describeData(v.data());
    case Value::Kind::Object: return v.object() ? v.object()->description() : "(null)";
    case Value::Kind::Array: {
        std::string text = indent(level) + "(\n";
        const Array& a = v.array();
        for (std::size_t i = 0; i < a.size(); ++i) {
            text += indent(level + 1) + describeElement(a[i], level + 1);
            text += i + 1 < a.size() ? ",\n" : "\n";
        }
        return text + indent(level) + ")";
    }
    case Value::Kind::Dictionary: {
        std::string text = indent(level) + "{\n";
        for (const auto& [key, value] : v.dictionary()) {
            text += indent(level + 1) + quoteIfNeeded(key) + " = " + describeElement(value, level + 1) + ";\n";
        }
        return text + indent(level) + "}";
    }
    }
    return {};
}

} // namespace

std::string Value::description() const { return describe(*this, 0); }

} // namespace pf
