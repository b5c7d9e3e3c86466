#include "support/log/Path.h"
#include "support/log/ShellOutput.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>

namespace {

TEST(Path, ParentFilenameExtensionJoin) {
    const struct {
        std::string path, parent, filename, extension, joined; // joined: the path joined with "j"
    } cases[] = {
        {"", "", "", "", "j"},                     {"/", "/", "", "", "/j"},
        {"/a", "/", "a", "", "/a/j"},              {"/a/b/", "/a", "b", "", "/a/b/j"},
        {"a", "", "a", "", "a/j"},                 {"a/b.c", "a", "b.c", "c", "a/b.c/j"},
        {"/x/.hidden", "/x", ".hidden", "hidden", "/x/.hidden/j"},
        {"/x/a.tar.gz", "/x", "a.tar.gz", "gz", "/x/a.tar.gz/j"},
    };
    for (const auto& c : cases) {
        std::string parent = c.path, joined = c.path;
        vdpath_parent(parent);
        vdpath_join(joined, "j");
        EXPECT_EQ(parent + "|" + vdpath_filename(c.path) + "|" + vdpath_extension(c.path) + "|" + joined,
                  c.parent + "|" + c.filename + "|" + c.extension + "|" + c.joined)
            << c.path;
    }
}

TEST(Path, CanonicalResolvesLinksAndMissingTails) {
    vt::TempDir scratch;
    const std::string real = std::filesystem::canonical(scratch.path()).string();
    std::filesystem::create_directory(real + "/dir");
    std::filesystem::create_directory_symlink("dir", real + "/link");
    vt::writeFile(real + "/dir/f", "");
    const std::string cwd = std::filesystem::current_path().string();

    const struct {
        std::string path, canonical;
    } cases[] = {
        {real + "/link/../link/./", real + "/dir"},
        {real + "/link/missing/deeper.log", real + "/dir/missing/deeper.log"},
        {"bare-name-that-is-absent", cwd + "/bare-name-that-is-absent"},
        {real + "/link/f/x", real + "/link/f/x"},  // ENOTDIR: left as it is
        {std::string(PATH_MAX, 'a'), std::string(PATH_MAX, 'a')},
    };
    for (const auto& c : cases) EXPECT_EQ(vdpath_canonical(c.path), c.canonical) << c.path.substr(0, 80);
}

TEST(ShellOutput, ReturnsStandardOutputWhateverTheStatus) {
    EXPECT_EQ(vdshell_output("printf 'one\\ntwo'; exit 3"), "one\ntwo");
    EXPECT_EQ(vdshell_output("head -c 2000 /dev/zero").size(), 2000u);
    EXPECT_EQ(vdshell_output(nullptr), "");
}

} // namespace
