#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "tests/support/TestSupport.h"

namespace {

void writeInfo(const std::string& path, const pf::Dictionary& info) { vt::writeFile(path, *pf::xmlPropertyList(info)); }

TEST(Bundle, ReadsBothLayouts) {
    vt::TempDir dir;
    const pf::Dictionary info{{"CFBundleIdentifier", "com.example.tool"}, {"CFBundleExecutable", "tool"}};
    writeInfo(dir / "Foo.app/Contents/Info.plist", info);
    vt::writeFile(dir / "Foo.app/Contents/MacOS/tool", "#!", 0755);
    vt::writeFile(dir / "Foo.app/Contents/Resources/install.bom", "x");
    vt::writeFile(dir / "Foo.app/Contents/Resources/Sub/a.txt", "x");
    vt::writeFile(dir / "Foo.app/Contents/Resources/en.lproj/Localizable.strings", "x");
    writeInfo(dir / "Flat/Info.plist", info);
    vt::writeFile(dir / "Flat/tool", "#!", 0755);
    vt::writeFile(dir / "Flat/install.bom", "x");

    struct Case {
        std::string folder, resources, executable;
    };
    const Case cases[] = {
        {dir / "Foo.app", dir / "Foo.app/Contents/Resources", dir / "Foo.app/Contents/MacOS/tool"},
        {dir / "Flat", dir / "Flat", dir / "Flat/tool"},
    };
    for (const auto& c : cases) {
        auto bundle = pf::Bundle::bundleWithPath(c.folder);
        ASSERT_TRUE(bundle && bundle->executableURL() && bundle->URLForResource("install", "bom")) << c.folder;
        EXPECT_EQ((std::vector<std::string>{bundle->bundlePath(), bundle->bundleURL().absoluteString(),
                                            bundle->bundleIdentifier(), bundle->resourceURL().path(),
                                            bundle->executableURL()->path(),
                                            bundle->URLForResource("install", "bom")->path()}),
                  (std::vector<std::string>{c.folder, "file://" + c.folder + "/", "com.example.tool", c.resources,
                                            c.executable, c.resources + "/install.bom"}));
        EXPECT_FALSE(bundle->URLForResource("missing", "bom"));
    }
    auto app = pf::Bundle::bundleWithPath(dir / "Foo.app");
    EXPECT_EQ(app->URLForResource("a", "txt", "Sub")->path(), dir / "Foo.app/Contents/Resources/Sub/a.txt");
    EXPECT_TRUE(app->URLForResource("Localizable", "strings", {}, "en"));
    EXPECT_TRUE(app->URLForResource("Sub", "")->hasDirectoryPath());
}

TEST(Bundle, HostileBundlesAndNamesStayInsideTheBundle) {
    vt::TempDir dir;
    vt::writeFile(dir / "secret.txt", "x");
    vt::writeFile(dir / "B/Info.plist", "not a property list");
    auto bundle = pf::Bundle::bundleWithPath(dir / "B");
    ASSERT_TRUE(bundle);
    EXPECT_TRUE(bundle->infoDictionary().empty()); // a broken Info.plist reads as empty
    EXPECT_EQ(bundle->bundleIdentifier(), "");
    for (const char* sub : {"..", "../", "/", "a/../.."})
        EXPECT_FALSE(bundle->URLForResource("secret", "txt", sub)) << sub;
    EXPECT_FALSE(bundle->URLForResource("../secret", "txt"));
    EXPECT_FALSE(bundle->URLForResource("", ""));
    EXPECT_FALSE(bundle->URLForResource("secret", "txt", {}, "../.."));
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

TEST(Bundle, MainBundleIsTheExecutablesFolder) {
    auto main = pf::Bundle::mainBundle();
    ASSERT_TRUE(main);
    EXPECT_EQ(main, pf::Bundle::mainBundle());
    EXPECT_EQ(main->bundlePath(), std::filesystem::read_symlink("/proc/self/exe").parent_path().string());
    // The test programs embed the daemon's Info.plist.
    EXPECT_EQ(main->bundleIdentifier(), "com.vandrelsys.VolumeSmith.vicar");
}

} // namespace
