#include "platform/foundation/StringsFile.h"

#include <utf8.h>

#include <cctype>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace pf {

namespace {

std::optional<std::string> toUtf8(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const bool le = bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE;
    const bool be = bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF;
    if (!le && !be) {
        if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
        if (!utf8::is_valid(bytes.begin(), bytes.end())) return std::nullopt;
        return std::string(bytes);
    }
    if (bytes.size() % 2 != 0) return std::nullopt;
    std::vector<char16_t> units;
    for (std::size_t i = 2; i < bytes.size(); i += 2)
        units.push_back(static_cast<char16_t>(le ? byte(i) | byte(i + 1) << 8 : byte(i) << 8 | byte(i + 1)));
    std::string out;
    try {
        utf8::utf16to8(units.begin(), units.end(), std::back_inserter(out));
    } catch (const utf8::exception&) {
        return std::nullopt; // an unpaired surrogate
    }
    return out;
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    bool atEnd() {
        skipBlanks();
        return pos_ >= text_.size();
    }
    bool take(char c) {
        skipBlanks();
        if (pos_ < text_.size() && text_[pos_] == c) return ++pos_, true;
        return false;
    }
    std::optional<std::string> string() {
        skipBlanks();
        if (pos_ < text_.size() && text_[pos_] == '"') return quoted();
        std::size_t start = pos_;
        while (pos_ < text_.size() && isWordCharacter(text_[pos_])) ++pos_;
        if (start == pos_) return std::nullopt;
        return std::string(text_.substr(start, pos_ - start));
    }

private:
    static bool isWordCharacter(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("_$+/:.-").find(c) != std::string_view::npos;
    }

    void skipBlanks() {
        while (pos_ < text_.size()) {
            if (std::isspace(static_cast<unsigned char>(text_[pos_]))) {
                ++pos_;
            } else if (text_.substr(pos_, 2) == "//") {
                pos_ = text_.find('\n', pos_);
                if (pos_ == std::string_view::npos) pos_ = text_.size();
            } else if (text_.substr(pos_, 2) == "/*") {
                const std::size_t end = text_.find("*/", pos_ + 2);
                pos_ = end == std::string_view::npos ? text_.size() : end + 2;
            } else {
                return;
            }
        }
    }

    std::optional<std::string> quoted() {
        std::string out;
        for (++pos_; pos_ < text_.size(); ++pos_) {
            const char c = text_[pos_];
            if (c == '"') return ++pos_, out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++pos_ >= text_.size()) return std::nullopt;
            if (!escape(out)) return std::nullopt;
        }
        return std::nullopt; // no closing quote
    }

    bool escape(std::string& out) {
        const char c = text_[pos_];
        static constexpr std::string_view kFrom = "ntr\"\\'abfv", kTo = "\n\t\r\"\\'\a\b\f\v";
        if (const std::size_t i = kFrom.find(c); i != std::string_view::npos) return out += kTo[i], true;
        if (c >= '0' && c <= '7') {
            unsigned value = 0;
            for (int n = 0; n < 3 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++n, ++pos_)
                value = value * 8 + unsigned(text_[pos_] - '0');
            --pos_;
            return appendCodePoint(out, value);
        }
        if (c == 'U' || c == 'u') {
            if (pos_ + 4 >= text_.size()) return false;
            unsigned value = 0;
            for (int n = 1; n <= 4; ++n) {
                const char h = text_[pos_ + n];
                if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
                value = value * 16 + unsigned(std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (h | 0x20) - 'a' + 10);
            }
            pos_ += 4;
            return appendCodePoint(out, value);
        }
        out += c; // an unknown escape stands for the character itself
        return true;
    }

    static bool appendCodePoint(std::string& out, unsigned value) {
        if (value == 0 || (value >= 0xD800 && value <= 0xDFFF)) return false;
        utf8::append(static_cast<std::uint32_t>(value), std::back_inserter(out));
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<Dictionary> parseStringsText(std::string_view bytes, std::size_t maxEntries) {
    const auto text = toUtf8(bytes);
    if (!text) return std::nullopt;
    Parser parser(*text);
    Dictionary table;
    while (!parser.atEnd()) {
        auto key = parser.string();
        if (!key) return std::nullopt;
        std::optional<std::string> value = *key;
        if (parser.take('=')) value = parser.string();
        if (!value || !parser.take(';') || table.size() >= maxEntries) return std::nullopt;
        table.insert_or_assign(std::move(*key), Value(std::move(*value)));
    }
    return table;
}

} // namespace pf
