// Option parsing of the application frame: [-name value], [-name = value],
// [-name=value] and [name=value] give name -> value; a lone flag maps to its
// own name; "--" or the first bare word ends the options.
#include "app/VDApplication.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/foundation/Exception.h"

namespace {

// The platform's white-space-and-newline set is Unicode's White_Space
// property (separators Z*, tab to carriage return, U+0085), which is exactly
// what ICU's u_isUWhiteSpace answers.
bool isWhite(UChar32 c, bool alsoDash) { return (alsoDash && c == '-') || (c >= 0 && u_isUWhiteSpace(c)); }

// Trims whole code points from both ends; an invalid sequence stops the trim.
std::string trim(std::string_view text, bool alsoDash) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t first = 0, last = length;
    while (first < last) {
        std::int32_t next = first;
        UChar32 c;
        U8_NEXT(bytes, next, last, c);
        if (!isWhite(c, alsoDash)) break;
        first = next;
    }
    while (last > first) {
        std::int32_t previous = last;
        UChar32 c;
        U8_PREV(bytes, first, previous, c);
        if (!isWhite(c, alsoDash)) break;
        last = previous;
    }
    return std::string(text.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(last - first)));
}

std::vector<std::string_view> splitAtEquals(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const auto eq = text.find('=', start);
        pieces.push_back(text.substr(start, eq == std::string_view::npos ? std::string_view::npos : eq - start));
        if (eq == std::string_view::npos) return pieces;
        start = eq + 1;
    }
}

} // namespace

std::optional<pf::Dictionary> VDApplication::parseOptions(const pf::Array& arguments) {
    try {
        pf::Dictionary options;
        const std::size_t count = arguments.size();
        if (count < 2) return options;
        for (std::size_t i = 1;;) {
            const std::string& argument = arguments[i].string();
            const auto pieces = splitAtEquals(argument);
            if (pieces.size() > 1) {
                const std::string_view rest(argument.data() + pieces[0].size() + 1,
                                            argument.size() - pieces[0].size() - 1);
                options[trim(pieces[0], true)] = trim(rest, false);
            } else {
                if (argument == "--" || argument.empty() || argument[0] != '-') break;
                std::string key = trim(argument, true);
                if (i + 1 >= count) {
                    options[key] = key;
                } else {
                    const std::string& next = arguments[i + 1].string();
                    if (next == "=") {
                        if (i + 2 >= count) break;
                        options[key] = trim(arguments[i + 2].string(), false);
                        i += 2;
                    } else if (!next.empty() && next[0] == '-') {
                        options[key] = key;
                    } else {
                        options[key] = trim(next, false);
                        i += 1;
                    }
                }
            }
            if (i + 1 >= count) break;
            ++i;
        }
        return options;
    } catch (const pf::Exception&) {
        return std::nullopt;
    }
}
