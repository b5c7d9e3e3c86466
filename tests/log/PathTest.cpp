#include "support/log/Path.h"
#include "support/log/ShellOutput.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>

namespace {

TEST(Path, ParentFilenameExtensionJoin) {
    const struct {
        std::string path, parent, filename, extension;
    } cases[] = {
        {"", "", "", ""},          {"/", "/", "", ""},         {"/a", "/", "a", ""},
        {"/a/b/", "/a", "b", ""},  {"a", "", "a", ""},         {"a/b.c", "a", "b.c", "c"},
        {"/x/.hidden", "/x", ".hidden", "hidden"},             {"/x/a.tar.gz", "/x", "a.tar.gz", "gz"},
    };
    for (const auto& c : cases) {
        std::string parent = c.path;
        vdpath_parent(parent);
        EXPECT_EQ(parent + "|" + vdpath_filename(c.path) + "|" + vdpath_extension(c.path),
                  c.parent + "|" + c.filename + "|" + c.extension)
            << c.path;
    }
    const struct {
        std::string path, component, joined;
    } joins[] = {{"", "b", "b"}, {"/", "b", "/b"}, {"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"/a", "", "/a"}};
    for (auto [path, component, joined] : joins) {
        vdpath_join(path, component);
        EXPECT_EQ(path, joined) << component;
    }
}

TEST(Path, CanonicalResolvesLinksAndMissingTails) {
    vt::TempDir scratch;
    const std::string real = std::filesystem::canonical(scratch.path()).string();
    ASSERT_EQ(::mkdir((real + "/dir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("dir", (real + "/link").c_str()), 0);
    vt::writeFile(real + "/dir/f", "");
    const std::string cwd = std::filesystem::current_path().string();

    const struct {
        std::string path, canonical;
    } cases[] = {
        {real + "/link/../link/./", real + "/dir"},
        {real + "/link/missing/deeper.log", real + "/dir/missing/deeper.log"},
        {"/", "/"},
        {"bare-name-that-is-absent", cwd + "/bare-name-that-is-absent"},
        {real + "/link/f/x", real + "/link/f/x"},  // ENOTDIR: left as it is
        {std::string(PATH_MAX, 'a'), std::string(PATH_MAX, 'a')},
    };
    for (const auto& c : cases) EXPECT_EQ(vdpath_canonical(c.path), c.canonical) << c.path.substr(0, 80);
}

TEST(ShellOutput, ReturnsStandardOutputWhateverTheStatus) {
    EXPECT_EQ(vdshell_output("printf 'one\\ntwo'"), "one\ntwo");
    EXPECT_EQ(vdshell_output("printf partial; exit 3"), "partial");
    EXPECT_EQ(vdshell_output("head -c 2000 /dev/zero").size(), 2000u);
    EXPECT_EQ(vdshell_output(nullptr), "");
}

} // namespace
