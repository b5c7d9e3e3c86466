#include "foundation_ext/BundleExtensions.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/foundation/BundleStrings.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StringsFile.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(BundleExtensions, PacksVersionTexts) {
    const struct {
        std::optional<std::string> text;
        std::uint64_t packed64;
        std::uint32_t packed32;
    } cases[] = {
        {"1.0.8", 0x010008FF, 0x010008FF},
        {"2.1.3.7", 0x020103FF, 0x02010307},
        {"1.0b3", 0x010003FF, 0x010003FF},
        {"1048575.300", 0xFFFFF2C00FF, 0xFF2C00FF}, // c0 keeps 20 bits, c1 8
        {"v10.4", 0x0A0400FF, 0x0A0400FF},
        {"0", 0, 0},
        {std::nullopt, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.value_or("(nil)"));
        EXPECT_EQ(vd_packedVersion64(c.text), c.packed64);
        EXPECT_EQ(vd_packedVersion32(c.text), c.packed32);
    }
}

void writePlist(const std::string& path, const pf::Dictionary& dictionary) {
    const auto xml = pf::xmlPropertyList(pf::Value(dictionary));
    ASSERT_TRUE(xml);
    vt::writeFile(path, *xml);
}

TEST(BundleExtensions, ReadsNamesVersionsAndPlaces) {
    vt::TempDir dir;
    const std::string root = dir / "Tool.app";
    const auto load = [&](const pf::Dictionary& info) {
        writePlist(root + "/Contents/Info.plist", info);
        return pf::Bundle::bundleWithPath(root);
    };
    auto bare = load({{"LSMinimumSystemVersion", "10.10"}, {"CFBundleVersion", "1.0.8"}});
    ASSERT_TRUE(bare);
    EXPECT_EQ(std::tuple(humanReadableName(*bare), minimumSystemVersion(*bare), version(*bare), marketingVersion(*bare),
                         vandrelBuildIdentifier(*bare) == nullptr, pathForHelper(*bare, "h"),
                         URLForLoginItem(*bare, "L.app").path()),
              std::tuple("Tool", 0x0A0A0000u, 0x010008FFu, 0u, true, root + "/Contents/Helpers/h",
                         root + "/Contents/Library/LoginItems/L.app"));

    EXPECT_EQ(humanReadableName(*load({{"CFBundleName", "Plain"}})), "Plain");
    writePlist(root + "/Contents/Resources/en.lproj/InfoPlist.strings", {{"CFBundleName", "Localized"}});
    EXPECT_EQ(humanReadableName(*load({{"CFBundleName", "Plain"}})), "Localized");
    EXPECT_EQ(humanReadableName(*load({{"CFBundleName", "Plain"}, {"SUBundleName", "Updater"}})), "Updater");

    // String tables: the environment's language first, then English; a
    // missing key gives the value, or the key when the value is empty.
    writePlist(root + "/Contents/Resources/en.lproj/Localizable.strings", {{"1 day", "one day"}});
    writePlist(root + "/Contents/Resources/de.lproj/Localizable.strings", {{"1 day", "1 Tag"}});
    vt::writeFile(root + "/Contents/Resources/de.lproj/Broken.strings", "not a table");
    const auto bundle = load({});
    for (const auto& [lang, key, value, table, text] :
         std::initializer_list<std::tuple<const char*, const char*, const char*, const char*, const char*>>{
             {"de_DE.UTF-8", "1 day", "", "", "1 Tag"},
             {"fr_FR", "1 day", "", "Localizable", "one day"},
             {"C", "2 days", "fallback", "", "fallback"},
             {"C", "2 days", "", "", "2 days"},
             {"de_DE", "1 day", "", "Broken", "1 day"}}) {
        const vt::ScopedEnvironment language("LC_ALL", lang);
        EXPECT_EQ(pf::localizedStringForKey(*bundle, key, value, table), text) << lang << " " << key;
    }
}

TEST(BundleExtensions, ParsesTextStringTables) {
    using D = pf::Dictionary;
    const struct {
        std::string bytes;
        std::optional<D> table;
    } cases[] = {
        {"/* c */ \"1 day\" = \"1 Tag\"; // line\n\"a\\\"b\\n\" = x_1.2;", D{{"1 day", "1 Tag"}, {"a\"b\n", "x_1.2"}}},
        {"\xEF\xBB\xBFkey;", D{{"key", "key"}}},
        {"\"\\U00e9\\101\" = \"\";", D{{"\xc3\xa9" "A", ""}}},
        {std::string("\xFF\xFE\"\0a\0\"\0=\0\"\0b\0\"\0;\0", 18), D{{"a", "b"}}},
        {"\"a\" = \"b\"", std::nullopt},
        {"\"a\" = \"b;", std::nullopt},
        {"\"a\" = ;", std::nullopt},
        {"\"\\U12\";", std::nullopt},
        {"\"\\0\";", std::nullopt},
        {"\xff;", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(pf::parseStringsText(c.bytes, 100), c.table) << c.bytes;
    EXPECT_EQ(pf::parseStringsText("a; b; c;", 2), std::nullopt);
}

} // namespace
