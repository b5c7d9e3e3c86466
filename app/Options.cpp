// Option parsing of the application frame: [-name value], [-name = value],
// [-name=value] and [name=value] give name -> value; a lone flag maps to its
// own name; "--" or the first bare word ends the options.
#include "app/VDApplication.h"

#include <string_view>
#include <vector>

#include "foundation_ext/StringExtensions.h"
#include "platform/foundation/Exception.h"

namespace {

// Values lose the platform's white space and newlines at both ends; names
// lose dashes too.
std::string trim(std::string_view text, bool alsoDash) {
    static const pf::CharacterSet whitespace = pf::CharacterSet::whitespaceAndNewlineCharacterSet();
    static const pf::CharacterSet whitespaceAndDash =
        whitespace.unionWith(pf::CharacterSet::characterSetWithCharactersInString("-"));
    return stringByTrimmingCharactersInSet(text, alsoDash ? whitespaceAndDash : whitespace);
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
