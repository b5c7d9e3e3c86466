#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <tuple>

#include "platform/foundation/Exception.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/URL.h"

namespace {

TEST(Format, PrintfConversionsAndObjects) {
    const auto url = *pf::URL::fileURLWithPath("/tmp/a b", false);
    const std::tuple<const char*, std::vector<pf::FormatArg>, std::string> cases[] = {
        {"100%%", {}, "100%"}, {"%f|%s", {3, 5}, "3.000000|5"}, {"%2$s %1$s", {"world", "hello"}, "hello world"},
        {"%s", {static_cast<const char*>(nullptr)}, "(null)"}, {"%s|%s", {"a", std::string("b")}, "a|b"},
        {"%d|%i|%5d|%-5d|%05d|%+d", {42, -42, 7, 7, 7, 7}, "42|-42|    7|7    |00007|+7"},
        {"%u", {-1}, "4294967295"}, // an int read as unsigned, as a vararg would be
        {"%lu|%llu|%zu", {-1L, -1LL, std::size_t(3)}, "18446744073709551615|18446744073709551615|3"},
        {"%qd|%hhd|%hd|%d", {-5LL, 300, 70000, std::int64_t(1) << 40}, "-5|44|4464|0"}, // truncated like printf
        {"%x|%X|%#x|%o|%lx", {255, 255, 255, 8, std::uintptr_t(0xdeadbeefcafe)}, "ff|FF|0xff|10|deadbeefcafe"},
        {"%c%c|%C|%lc", {'o', 'k', 0xE9, 0x1F600}, "ok|\xC3\xA9|\xF0\x9F\x98\x80"},
        {"%e|%g|%G|%.0f", {12345.678, 0.0001, 1e20, 2.5f}, "1.234568e+04|0.0001|1E+20|2"},
        {"[%6s][%-6s][%.2s]", {"ab", "ab", "abcdef"}, "[    ab][ab    ][ab]"},
        {"%*d|%-*d|%*d|%.*f", {4, 1, 3, 2, -4, 1, 1, 2.26}, "   1|2  |1   |2.3"}, // a negative width: left-justified
        {"%D|%U|%O|%hD|%s", {-1L, -1L, 8L, std::int64_t(1) << 40, "next"}, "-1|18446744073709551615|10|1099511627776|next"},
        {"[%1$*2$d][%1$-*2$d][%3$.*2$f][%*2$d]", {7, 3, 2.5, 9}, "[  7][7  ][2.500][  9]"},
        {"%'d|%'8.1f", {1234567, 1234.5}, "1234567|  1234.5"}, // the C locale has no grouping
        {"[%3s][%-4@][%.1s][%.2@]", {"\xC3\xA9", pf::Value("\xE2\x82\xAC"), "\xF0\x9F\x98\x80x", pf::Value("a\xFF\xC3")},
         "[  \xC3\xA9][\xE2\x82\xAC   ][\xF0\x9F\x98\x80][a\xFF]"}, // characters, never bytes of one

        {"%@", {pf::Value(pf::Array{1, "two words"})}, "(\n    1,\n    \"two words\"\n)"},
        {"%p", {reinterpret_cast<const void*>(std::uintptr_t(0x1234))}, "0x1234"},
        {"at %@|%@|%@", {url, std::shared_ptr<pf::URL>(), std::make_shared<pf::URL>(url)},
         "at file:///tmp/a%20b|(null)|file:///tmp/a%20b"},
        {"Exception @ %u: %@", {12u, pf::Exception(pf::NSRangeException, "index 4 beyond bounds")},
         "Exception @ 12: index 4 beyond bounds"},
        {"%@", {std::vector<std::string>{"0x1", "0x2"}}, "(\n    0x1,\n    0x2\n)"},
        {"%d %d", {1}, "1 "},             // a missing argument prints nothing
        {"%d", {"not a number"}, "not a number"}, // a wrong conversion prints what it has
        {"%n|%d", {0, 9}, "|9"},           // %n never writes, but takes its argument
        {"tail %", {}, "tail %"},          // cut short: printed as written
        {"%k%d", {1}, "%k1"},              // unknown conversion printed as written
    };
    for (const auto& [format, args, text] : cases) EXPECT_EQ(pf::formatv(format, args), text) << format;
}

TEST(Format, HostileFormatsStayBounded) {
    // Widths and precisions are clamped; a huge positional index takes no argument.
    for (const auto& text : {pf::format("%999999999999d", 1), pf::format("%.999999999999f", 1.0),
                             pf::format("%*d", 2147483647, 1)})
        EXPECT_LE(text.size(), std::size_t(1) << 17);
    EXPECT_EQ(pf::format("%99999999999999999999$d|%0$d|", 1), "||");
    EXPECT_EQ(pf::format("%*d|", std::numeric_limits<long long>::min(), 1).back(), '|');
    // A real read by an integer conversion saturates instead of overflowing.
    EXPECT_EQ(pf::format("%lld|%lld", 1e300, -1e300), "9223372036854775807|-9223372036854775808");
}

} // namespace
