#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "tests/support/TestSupport.h"

namespace {

void writeInfo(const std::string& path, const pf::Dictionary& info) { vt::writeFile(path, *pf::xmlPropertyList(info)); }

TEST(Bundle, ReadsBothLayouts) {
    vt::TempDir dir;
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {dir / "Foo.app", dir / "Foo.app/Contents/Info.plist", dir / "Foo.app/Contents/Resources",
         dir / "Foo.app/Contents/MacOS/tool"},
        {dir / "Flat", dir / "Flat/Info.plist", dir / "Flat", dir / "Flat/tool"},
    };
    for (const auto& [folder, info, resources, executable] : cases) {
        writeInfo(info, {{"CFBundleIdentifier", "com.example.tool"}, {"CFBundleExecutable", "tool"}});
        vt::writeFile(executable, "#!", 0755);
        vt::writeFile(resources + "/install.bom", "x");
        auto bundle = pf::Bundle::bundleWithPath(folder);
        ASSERT_TRUE(bundle && bundle->executableURL() && bundle->URLForResource("install", "bom")) << folder;
        EXPECT_EQ((std::vector<std::string>{bundle->bundleURL().absoluteString(), bundle->bundleIdentifier(),
                                            bundle->resourceURL().path(), bundle->executableURL()->path()}),
                  (std::vector<std::string>{"file://" + folder + "/", "com.example.tool", resources, executable}));
        EXPECT_FALSE(bundle->URLForResource("missing", "bom"));
    }
    vt::writeFile(dir / "Foo.app/Contents/Resources/Sub/a.txt", "x");
    EXPECT_EQ(pf::Bundle::bundleWithPath(dir / "Foo.app")->URLForResource("a", "txt", "Sub")->path(),
              dir / "Foo.app/Contents/Resources/Sub/a.txt");
}

TEST(Bundle, HostileBundlesAndNamesStayInsideTheBundle) {
    vt::TempDir dir;
    vt::writeFile(dir / "secret.txt", "x");
    vt::writeFile(dir / "B/Info.plist", "not a property list");
    auto bundle = pf::Bundle::bundleWithPath(dir / "B");
    ASSERT_TRUE(bundle);
    EXPECT_TRUE(bundle->infoDictionary().empty()); // a broken Info.plist reads as empty
    // Names, subfolders and localizations that would lead out of the bundle.
    for (const auto& [name, sub, localization] : {std::tuple{"secret", "..", ""}, {"secret", "../", ""},
                                                  {"secret", "/", ""}, {"secret", "a/../..", ""}, {"../secret", "", ""},
                                                  {"secret", "", "../.."}})
        EXPECT_FALSE(bundle->URLForResource(name, "txt", sub, localization)) << name << sub << localization;
    EXPECT_FALSE(bundle->URLForResource("", ""));
    for (const pf::Value& exe : {pf::Value("../secret.txt"), pf::Value("/bin/sh"), pf::Value("a/b"), pf::Value(".."),
                                pf::Value(7)}) {
        writeInfo(dir / "E/Info.plist", pf::Dictionary{{"CFBundleExecutable", exe}});
        EXPECT_FALSE(pf::Bundle::bundleWithPath(dir / "E")->executableURL()) << exe.description();
    }

    // Only real folders are bundles, and an Info.plist that is a symlink is not read.
    ASSERT_EQ(::symlink((dir / "B").c_str(), (dir / "link").c_str()), 0);
    for (const char* leaf : {"secret.txt", "link", "missing"})
        EXPECT_FALSE(pf::Bundle::bundleWithPath(dir / leaf)) << leaf;
    EXPECT_FALSE(pf::Bundle::bundleWithURL(*pf::URL::URLWithString("http://host/B/")));
    writeInfo(dir / "elsewhere.plist", pf::Dictionary{{"CFBundleIdentifier", "x"}});
    ASSERT_EQ(::mkdir((dir / "L").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((dir / "elsewhere.plist").c_str(), (dir / "L/Info.plist").c_str()), 0);
    EXPECT_EQ(pf::Bundle::bundleWithPath(dir / "L")->bundleIdentifier(), "");
}

} // namespace
