#include "platform/foundation/Format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "platform/foundation/Exception.h"

namespace pf {

FormatArg::FormatArg(const Exception& e) : v_(e.description()) {}

FormatArg::FormatArg(const std::vector<std::string>& strings) : v_(std::string()) {
    Array array(strings.begin(), strings.end());
    v_ = Value(std::move(array)).description();
}

namespace {

// Widths and precisions beyond this are format bugs; they are clamped so
// that one bad format cannot ask for gigabytes.
constexpr long kMaxWidth = 1 << 16;

struct Directive {
    std::string flags;
    std::optional<long> width;
    std::optional<long> precision;
    std::string length; // "hh", "h", "l", "ll", "q", "z", "j", "t", "L"
    char conversion = 0;
};

std::string render(const char* directive, auto value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, directive, value);
    if (n < 0) return {};
    if (std::size_t(n) < sizeof small) return std::string(small, std::size_t(n));
    std::string big(std::size_t(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), directive, value);
    big.resize(std::size_t(n));
    return big;
}

// "%" + flags + width + precision + the given length and conversion.
std::string rebuild(const Directive& s, const char* length, char conversion) {
    std::string out = "%" + s.flags;
    if (s.width) out += std::to_string(*s.width);
    if (s.precision) out += "." + std::to_string(*s.precision);
    out += length;
    out += conversion;
    return out;
}

long long asSigned(const FormatArg::Storage& v) {
    if (auto p = std::get_if<long long>(&v)) return *p;
    if (auto p = std::get_if<unsigned long long>(&v)) return static_cast<long long>(*p);
    if (auto p = std::get_if<double>(&v)) {
        // Saturated, as a real outside the range has no integer to convert to.
        if (std::isnan(*p)) return 0;
        if (*p >= 9223372036854775807.0) return std::numeric_limits<long long>::max();
        if (*p <= -9223372036854775808.0) return std::numeric_limits<long long>::min();
        return static_cast<long long>(*p);
    }
    if (auto p = std::get_if<const void*>(&v)) return static_cast<long long>(reinterpret_cast<std::uintptr_t>(*p));
    return 0;
}

unsigned long long asUnsigned(const FormatArg::Storage& v) { return static_cast<unsigned long long>(asSigned(v)); }

double asDouble(const FormatArg::Storage& v) {
    if (auto p = std::get_if<double>(&v)) return *p;
    if (auto p = std::get_if<unsigned long long>(&v)) return static_cast<double>(*p);
    return static_cast<double>(asSigned(v));
}

// The C argument promotions a real vararg would undergo for the length modifier.
long long narrowSigned(long long v, const std::string& length) {
    if (length == "hh") return static_cast<signed char>(v);
    if (length == "h") return static_cast<short>(v);
    if (length.empty()) return static_cast<int>(v);
    return v;
}

unsigned long long narrowUnsigned(unsigned long long v, const std::string& length) {
    if (length == "hh") return static_cast<unsigned char>(v);
    if (length == "h") return static_cast<unsigned short>(v);
    if (length.empty()) return static_cast<unsigned int>(v);
    return v;
}

std::string utf8(unsigned long long cp) {
    std::string s;
    if (cp < 0x80) {
        s += char(cp);
    } else if (cp < 0x800) {
        s += char(0xC0 | (cp >> 6));
        s += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += char(0xE0 | (cp >> 12));
        s += char(0x80 | ((cp >> 6) & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x110000) {
        s += char(0xF0 | (cp >> 18));
        s += char(0x80 | ((cp >> 12) & 0x3F));
        s += char(0x80 | ((cp >> 6) & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    } else {
        s += "\xEF\xBF\xBD";
    }
    return s;
}

// The byte length of the UTF-8 sequence starting at text[i]; a byte that
// starts no well-formed sequence counts as one character of its own.
std::size_t sequenceLength(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                            : lead >= 0xF0 && lead < 0xF5 ? 4 : 1;
    if (n > text.size() - i) return 1;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 1;
    return n;
}

// Text padded to the width and cut at the precision, as %s does; both count
// characters (code points), so a cut never splits a UTF-8 sequence.
std::string pad(std::string text, const Directive& s) {
    std::size_t characters = 0;
    std::size_t i = 0;
    const std::size_t limit = s.precision ? std::size_t(*s.precision) : SIZE_MAX;
    for (; i < text.size() && characters < limit; ++characters) i += sequenceLength(text, i);
    text.resize(i);
    if (s.width && std::size_t(*s.width) > characters) {
        std::string fill(std::size_t(*s.width) - characters, ' ');
        text = s.flags.find('-') != std::string::npos ? text + fill : fill + text;
    }
    return text;
}

std::string describeForObject(const FormatArg::Storage& v) {
    if (auto p = std::get_if<std::string>(&v)) return *p;
    if (auto p = std::get_if<long long>(&v)) return std::to_string(*p);
    if (auto p = std::get_if<unsigned long long>(&v)) return std::to_string(*p);
    if (auto p = std::get_if<double>(&v)) return Value(*p).description();
    if (auto p = std::get_if<const void*>(&v)) return *p ? render("%p", *p) : "(null)";
    return {};
}

std::string convert(const Directive& s, const FormatArg::Storage& v) {
    const std::string* text = std::get_if<std::string>(&v);
    switch (s.conversion) {
    case 'd':
    case 'i':
        if (text) return pad(*text, s);
        return render(rebuild(s, "ll", s.conversion).c_str(), narrowSigned(asSigned(v), s.length));
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (text) return pad(*text, s);
        return render(rebuild(s, "ll", s.conversion).c_str(), narrowUnsigned(asUnsigned(v), s.length));
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        if (text) return pad(*text, s);
        return render(rebuild(s, "", s.conversion).c_str(), asDouble(v));
    case 'c':
    case 'C':
        if (text) return pad(*text, s);
        if (s.conversion == 'c' && s.length.empty()) return pad(std::string(1, char(asSigned(v))), s);
        return pad(utf8(asUnsigned(v)), s);
    case 's':
    case 'S':
    case '@': return pad(describeForObject(v), s);
    case 'p':
        if (text) return pad(*text, s);
        return render(rebuild(s, "", 'p').c_str(),
                      reinterpret_cast<const void*>(static_cast<std::uintptr_t>(asUnsigned(v))));
    default: return {};
    }
}

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\''; }

} // namespace

std::string formatv(std::string_view format, std::span<const FormatArg> args) {
    std::string out;
    std::size_t next = 0; // the next argument to consume
    auto take = [&]() -> const FormatArg::Storage* { return next < args.size() ? &args[next++].storage() : nullptr; };
    // "n$" at format[j]: the argument position n (1-based; 0 or past the end
    // names none), and j moved past it. Without one, j stays and 0 is returned.
    auto position = [&](std::size_t& j) -> std::size_t {
        std::size_t k = j;
        while (k < format.size() && format[k] >= '0' && format[k] <= '9') ++k;
        if (k == j || k >= format.size() || format[k] != '$') return 0;
        std::size_t n = 0;
        for (std::size_t d = j; d < k; ++d) n = std::min(args.size() + 1, n * 10 + std::size_t(format[d] - '0'));
        j = k + 1;
        return n == 0 ? args.size() + 1 : n;
    };
    // A width or precision taken from the arguments ("*", or "*n$" naming one),
    // clamped before anything negates it.
    auto takeInt = [&](std::optional<long>& slot, std::size_t& j) {
        const std::size_t n = position(j);
        const FormatArg::Storage* a = n == 0 ? take() : n <= args.size() ? &args[n - 1].storage() : nullptr;
        if (a) slot = static_cast<long>(std::clamp<long long>(asSigned(*a), -kMaxWidth, kMaxWidth));
    };

    std::size_t i = 0;
    while (i < format.size()) {
        std::size_t percent = format.find('%', i);
        if (percent == std::string_view::npos) {
            out += format.substr(i);
            break;
        }
        out += format.substr(i, percent - i);
        std::size_t j = percent + 1;
        if (j < format.size() && format[j] == '%') {
            out += '%';
            i = j + 1;
            continue;
        }
        Directive directive;
        // A positional argument "%n$...": position n is argument n-1; 0 and
        // positions past the end take none.
        if (const std::size_t n = position(j)) next = n - 1;
        // The "'" flag asks for thousands grouping, which the C locale that
        // formats without a locale does not have: it is accepted and prints none.
        while (j < format.size() && isFlag(format[j])) {
            if (format[j] != '\'') directive.flags += format[j];
            ++j;
        }
        if (j < format.size() && format[j] == '*') {
            ++j;
            takeInt(directive.width, j);
            if (directive.width && *directive.width < 0) {
                directive.flags += '-';
                directive.width = -*directive.width;
            }
        } else {
            long width = 0;
            bool any = false;
            for (; j < format.size() && format[j] >= '0' && format[j] <= '9'; ++j, any = true)
                width = std::min(kMaxWidth, width * 10 + (format[j] - '0'));
            if (any) directive.width = width;
        }
        if (j < format.size() && format[j] == '.') {
            ++j;
            if (j < format.size() && format[j] == '*') {
                ++j;
                takeInt(directive.precision, j);
                if (directive.precision && *directive.precision < 0) directive.precision.reset();
            } else {
                long precision = 0;
                for (; j < format.size() && format[j] >= '0' && format[j] <= '9'; ++j)
                    precision = std::min(kMaxWidth, precision * 10 + (format[j] - '0'));
                directive.precision = precision;
            }
        }
        if (directive.width) directive.width = std::min(*directive.width, kMaxWidth);
        if (directive.precision) directive.precision = std::min(*directive.precision, kMaxWidth);
        static constexpr std::string_view kLengths[] = {"hh", "ll", "h", "l", "q", "z", "j", "t", "L"};
        for (std::string_view length : kLengths) {
            if (format.substr(j).starts_with(length)) {
                directive.length = std::string(length);
                j += length.size();
                break;
            }
        }
        if (directive.length == "q") directive.length = "ll";
        if (j >= format.size()) { // a conversion cut short: printed as written
            out += format.substr(percent);
            break;
        }
        directive.conversion = format[j];
        i = j + 1;
        // %D, %U and %O are %ld, %lu and %lo.
        if (const std::size_t at = std::string_view("DUO").find(directive.conversion); at != std::string_view::npos) {
            directive.conversion = "duo"[at];
            if (directive.length.empty() || directive.length.starts_with('h')) directive.length = "l";
        }
        if (directive.conversion == 'n') { // never writes through an argument
            take();
            continue;
        }
        static constexpr std::string_view kConversions = "diuxXocCsSpfFeEgGaA@";
        if (kConversions.find(directive.conversion) == std::string_view::npos) {
            out += format.substr(percent, i - percent);
            continue;
        }
        if (const FormatArg::Storage* arg = take()) out += convert(directive, *arg);
    }
    return out;
}

} // namespace pf
