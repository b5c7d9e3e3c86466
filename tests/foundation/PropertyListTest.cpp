#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <limits>
#include <numeric>

#include "platform/foundation/BinaryPropertyListCheck.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/URL.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::Array;
using pf::Data;
using pf::Date;
using pf::Dictionary;
using pf::Value;

const Value& sample() {
    static Data allBytes(256);
    std::iota(allBytes.begin(), allBytes.end(), 0);
    static const Value value = Dictionary{
        {"CFBundleIdentifier", "com.vandrelsys.VolumeSmith.vicar"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\xE2\x82\xAC 5"},
        {"ints", Array{0, 1, -1, 255, 256, 65536, std::numeric_limits<long long>::max(),
                       std::numeric_limits<long long>::min()}},
        {"reals", Array{1.5, -0.25, 1e300, 123456.789}},
        {"flags", Array{true, false}},
        {"when", Date{1796584642.0}},
        {"bytes", allBytes},
        {"empty", Array{Data{}, "", Array{}, Dictionary{}}},
        {"nested", Dictionary{{"a", Array{Dictionary{{"b", Array{"deep"}}}}}}},
    };
    return value;
}

TEST(PropertyList, RoundTripsThroughBinaryAndXML) {
    const Value leaves[] = {Value("plain"), Value(""), Value(-42), Value(2.5), Value(true), Value(Data{0, 1}),
                            Value(Array{}), Value(Date{0.0}), sample(),
                            Value(Array{Date::fromReferenceDate(-63113904000.0), Date{-3786825600.0}, Date{16725225600.0}}),
                            Value(Array{Value(~0ull), Value(1ull << 63), Value(-1), Value(0xFFFFull)})};
    for (const Value& v : leaves) {
        auto binary = pf::binaryPropertyList(v);
        auto xml = pf::xmlPropertyList(v);
        ASSERT_TRUE(binary && xml) << v.description();
        EXPECT_EQ(pf::propertyListFromBytes(*binary), v) << v.description();
        EXPECT_EQ(pf::propertyListFromBytes(std::string_view(*xml)), v) << *xml;
        EXPECT_EQ(pf::propertyListFromBytes(std::string_view("\xEF\xBB\xBF" + *xml)), v) << "after a byte-order mark";
    }
    // Fractions of seconds and years of five digits survive the binary form only.
    for (const Value& v :
         {Value(Date{1796584642.25}), Value(Date::fromReferenceDate(-3187296000.5)), Value(Date{7e12})})
        EXPECT_EQ(pf::propertyListFromBytes(pf::binaryPropertyList(v).value_or(Data{})), v) << v.description();
    EXPECT_FALSE(pf::xmlPropertyList(Value(Date{7e12})));
}

TEST(PropertyList, WriterRefusesWhatItCannotWriteFaithfully) {
    const Value refused[] = {
        Value(), Value(Array{1, Value()}), Value(Dictionary{{"u", Value(*pf::URL::fileURLWithPath("/x", false))}}),
        Value(std::string("a\0b", 3)), Value(Dictionary{{std::string("k\0", 2), 1}}),
        Value(std::string("a\xFF" "b")),                        // no UTF-8: the binary writer would drop "b"
        Value(Array{std::string("x\xC3")}),                      // a sequence cut short
        Value(std::string("\xED\xA0\x80")),                     // an encoded surrogate
        Value(Dictionary{{std::string("\xF4\x90\x80\x80"), 1}}), // beyond U+10FFFF
        Value(Date{1e300}), Value(Date{std::numeric_limits<double>::quiet_NaN()}),
    };
    for (const Value& v : refused) {
        EXPECT_FALSE(pf::binaryPropertyList(v)) << v.description();
        EXPECT_FALSE(pf::xmlPropertyList(v)) << v.description();
    }
    // The first three hold a null or an object somewhere inside: no property list by kind.
    for (const Value& v : {refused[0], refused[1], refused[2]}) EXPECT_FALSE(v.isPropertyList()) << v.description();
}

TEST(PropertyList, XMLInputsAreBounded) {
    auto plist = [](const std::string& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>";
    };
    std::string deep, flat;
    for (int i = 0; i < 100; ++i) {
        deep = "<array>" + deep + "</array>";
        flat += "<array/>";
    }
    const std::string rejected[] = {
        plist(deep), "<!-- <array><array> -->" + plist(deep), // a comment does not hide the depth
        "", "not a plist", "\x00\x01garbage", plist("<string>a\xFF</string>")}; // UTF-8 only
    for (const auto& bytes : rejected) EXPECT_FALSE(pf::propertyListFromBytes(std::string_view(bytes))) << bytes.substr(0, 60);
    // The parser may repair or refuse these; it must answer without crashing.
    const std::string broken[] = {
        plist("<dict><key>a</key>"), plist("<string>&bogus;&#xFFFFFFFF;&#0;</string>"),
        plist("<dict><string>not a key</string><integer>1</integer></dict>"),
        plist("<dict><key>a&#0;b</key><integer>1</integer></dict>"),
        std::string("<plist>\0<string>x</string></plist>", 33), "<plist><array", "<"};
    for (const auto& bytes : broken) (void)pf::propertyListFromBytes(std::string_view(bytes));
    // Self-closing containers add no depth.
    EXPECT_EQ(pf::propertyListFromBytes(std::string_view(plist("<array>" + flat + "</array>"))),
              Value(Array(100, Array{})));
    // Just within and just beyond a small depth limit; leaves are no level of nesting.
    const pf::PropertyListLimits limits{.maxDepth = 3};
    for (const auto& [body, accepted] : {std::pair{"<array><array><array/></array></array>", true},
                                         {"<array><array><array><array/></array></array></array>", false},
                                         {"<array><array><array><string>x</string></array></array></array>", true}})
        EXPECT_EQ(pf::propertyListFromBytes(std::string_view(plist(body)), limits).has_value(), accepted) << body;
}

// Builds "bplist00" bytes from raw objects, so each field can be broken on purpose.
struct BPlist {
    std::vector<std::string> objects = {};
    std::uint8_t offsetSize = 1;
    std::uint8_t refSize = 1;
    std::uint64_t top = 0;
    std::optional<std::uint64_t> objectCount = {};
    std::optional<std::uint64_t> tableOffset = {};
    std::vector<std::uint64_t> offsetOverride = {}; // replaces the computed offsets when set

    static void putBig(std::string& out, std::uint64_t v, std::size_t size) {
        for (std::size_t i = size; i-- > 0;) out += i < 8 ? char((v >> (8 * i)) & 0xFF) : '\0';
    }
    std::string bytes() const {
        std::string out = "bplist00";
        std::vector<std::uint64_t> offsets;
        for (const auto& o : objects) {
            offsets.push_back(out.size());
            out += o;
        }
        if (!offsetOverride.empty()) offsets = offsetOverride;
        const std::uint64_t table = out.size();
        for (auto off : offsets) putBig(out, off, offsetSize);
        out += std::string(6, '\0') + char(offsetSize) + char(refSize);
        putBig(out, objectCount.value_or(objects.size()), 8);
        putBig(out, top, 8);
        putBig(out, tableOffset.value_or(table), 8);
        return out;
    }
};

std::string obj(std::initializer_list<int> bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(BinaryPropertyList, MalformedInputIsRejected) {
    const std::string one = obj({0x10, 0x01});                      // integer 1
    const std::string arrayOf1 = obj({0xA1, 0x01});                 // array [object 1]
    const pf::PropertyListLimits small{.maxObjects = 1000, .maxDepth = 8};

    struct Case {
        const char* what;
        BPlist plist;
        pf::PropertyListLimits limits = {};
    };
    // Arrays each holding their successor once (or twice: 2^levels copies once expanded), then an integer.
    auto nested = [](int levels, bool twice = false) {
        BPlist p;
        for (int i = 0; i < levels; ++i) p.objects.push_back(twice ? obj({0xA2, i + 1, i + 1}) : obj({0xA1, i + 1}));
        p.objects.push_back(obj({0x10, 0x07}));
        return p;
    };
    std::vector<Case> cases = {
        {"offset size 0", {.objects = {one}, .offsetSize = 0}}, {"offset size 9", {.objects = {one}, .offsetSize = 9}},
        {"reference size 0", {.objects = {arrayOf1, one}, .refSize = 0}},
        {"no objects", {.objects = {one}, .objectCount = 0}}, {"top beyond count", {.objects = {one}, .top = 1}},
        {"count beyond the table", {.objects = {one}, .objectCount = 5}},
        {"huge count", {.objects = {one}, .objectCount = ~0ull}},
        {"table past the trailer", {.objects = {one}, .tableOffset = 1000}},
        {"table inside the header", {.objects = {one}, .tableOffset = 3}},
        {"offset into the header", {.objects = {one}, .offsetOverride = {2}}},
        {"offset into the table", {.objects = {one}, .offsetOverride = {10}}},
        {"reference out of range", BPlist{{obj({0xA1, 0x05}), one}}},
        {"cycle through two arrays", BPlist{{obj({0xA1, 0x01}), obj({0xA1, 0x00})}}},
        {"integer key", BPlist{{obj({0xD1, 0x01, 0x01}), one}}},
        {"key with a NUL inside", BPlist{{obj({0xD1, 0x01, 0x02}), obj({0x53, 'a', 0x00, 'b'}), one}}},
        {"UTF-16 key with a NUL inside", BPlist{{obj({0xD1, 0x01, 0x02}), obj({0x62, 0x00, 'a', 0x00, 0x00}), one}}},
        {"string longer than the objects", BPlist{{obj({0x5F, 0x10, 0x7F, 'a'})}}},
        {"data length of 8 bytes, huge", BPlist{{obj({0x4F, 0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}}},
        {"count marker not an integer", BPlist{{obj({0x5F, 0x20, 0x01, 'a'})}}},
        {"array count beyond the objects", BPlist{{obj({0xAF, 0x11, 0x7F, 0xFF, 0x00})}}},
        {"unknown marker 0x7", BPlist{{obj({0x71, 'a'})}}}, {"fill byte", BPlist{{obj({0x0F})}}},
        {"integer of 32 bytes", BPlist{{obj({0x15, 0, 0, 0, 0})}}},
        {"integer cut short", BPlist{{obj({0x13, 0x01})}}}, {"real of 2 bytes", BPlist{{obj({0x21, 0x00, 0x00})}}},
        {"date of 4 bytes", BPlist{{obj({0x32, 0, 0, 0, 0})}}}, {"UID of 3 bytes", BPlist{{obj({0x82, 0, 0, 0})}}},
        {"nesting beyond the limit", nested(9), small},
        {"shared objects expanding beyond the limit", nested(40, true)},
        {"ASCII string with a byte above 0x7F", BPlist{{obj({0x52, 'a', 0x80})}}},
        {"UTF-16 lone high surrogate at the end", BPlist{{obj({0x62, 0x00, 'a', 0xD8, 0x3D})}}},
        {"UTF-16 high surrogate before no low one", BPlist{{obj({0x62, 0xD8, 0x3D, 0x00, 'a'})}}},
        {"UTF-16 lone low surrogate", BPlist{{obj({0x61, 0xDE, 0x00})}}},
        {"date NaN", BPlist{{obj({0x33, 0x7F, 0xF8, 0, 0, 0, 0, 0, 0})}}},
        {"date 1e300 s away", BPlist{{obj({0x33, 0x7E, 0x37, 0xE4, 0x3C, 0x88, 0x00, 0x75, 0x9C})}}},
        {"integer of 16 bytes beyond 64 bits", BPlist{{obj({0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0})}}},
        {"integer of 16 bytes below INT64_MIN",
         BPlist{{obj({0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0})}}},
        {"more objects than allowed", {.objects = std::vector(1001, obj({0x08})), .offsetSize = 2}, small},
    };
    for (const auto& c : cases) {
        const std::string bytes = c.plist.bytes();
        EXPECT_FALSE(pf::isWellFormedBinaryPropertyList(bytes, c.limits)) << c.what;
        EXPECT_FALSE(pf::propertyListFromBytes(std::string_view(bytes), c.limits)) << c.what;
    }

    // Copies of a shared string count against the byte limit.
    BPlist copies{{std::string(1, char(0xAF)) + obj({0x10, 20}) + std::string(20, 1), obj({0x5F, 0x10, 100})}};
    copies.objects[1] += std::string(100, 'x');
    EXPECT_FALSE(pf::propertyListFromBytes(copies.bytes(), {.maxBytes = 1000}));
    EXPECT_TRUE(pf::propertyListFromBytes(copies.bytes()));

    // Well-formed lists: the builder's own, shared objects, values only hand-made bytes reach.
    EXPECT_TRUE(pf::propertyListFromBytes(std::string_view(nested(8).bytes()), small)); // the limits are inclusive
    const std::pair<std::vector<std::string>, Value> decoded[] = {
        {{arrayOf1, one}, Value(Array{1})},
        {{obj({0xA3, 1, 1, 1}), obj({0x51, 'x'})}, Value(Array{"x", "x", "x"})},
        {{obj({0x62, 0x00, 'h', 0x00, 0xE9})}, Value("h\xC3\xA9")},
        {{obj({0x62, 0xD8, 0x3D, 0xDE, 0x00})}, Value("\xF0\x9F\x98\x80")}, // a surrogate pair
        {{obj({0x33, 0xC1, 0xE7, 0xBF, 0x48, 0xE0, 0, 0, 0})}, Value(Date::fromReferenceDate(-3187296000.0))}, // 1899
        {{obj({0x33, 0x41, 0xF7, 0x83, 0x0D, 0x58, 0, 0, 0})}, Value(Date::fromReferenceDate(6311433600.0))},   // 2201
        {{obj({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}, Value(-1)},
        {{obj({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}, Value(~0ull)},
        {{obj({0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE})},
         Value(-2)},
    };
    for (const auto& [objects, value] : decoded)
        EXPECT_EQ(pf::propertyListFromBytes(BPlist{objects}.bytes()), value) << value.description();
    EXPECT_FALSE(pf::propertyListFromBytes(std::string_view("bplist01" + std::string(40, '\0'))));
}

// Corrupted bytes in general are the property-list fuzzer's; a list cut
// anywhere must be refused, not read as a shorter one.
TEST(BinaryPropertyList, EveryTruncationIsRejected) {
    const Data good = *pf::binaryPropertyList(Dictionary{{"a", Array{1, "two", 3.5, Data{1, 2}}}, {"b", true}});
    const std::string bytes(good.begin(), good.end());
    for (std::size_t n = 0; n < bytes.size(); ++n)
        EXPECT_FALSE(pf::propertyListFromBytes(std::string_view(bytes.data(), n))) << n;
}

TEST(PropertyListFile, ReadsRegularFilesOnlyWithoutFollowingLinks) {
    vt::TempDir dir;
    vt::writeFile(dir / "Info.plist", pf::xmlPropertyList(sample()).value_or(""));
    ASSERT_EQ(::symlink((dir / "Info.plist").c_str(), (dir / "link.plist").c_str()), 0);
    EXPECT_EQ(pf::propertyListFromFile(dir / "Info.plist"), sample());
    for (const std::string& path : {dir / "link.plist", dir / "missing.plist", dir.path(), std::string("/dev/zero")})
        EXPECT_FALSE(pf::propertyListFromFile(path)) << path;
    EXPECT_FALSE(pf::propertyListFromFile(dir / "Info.plist", {.maxBytes = 100}));
}

} // namespace
