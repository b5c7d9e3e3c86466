#include "support/log/Path.h"
#include "support/log/ShellOutput.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct PathCase {
    std::string path, parent, filename, extension;
};

TEST(Path, ParentFilenameExtension) {
    const PathCase cases[] = {
        {"", "", "", ""},
        {"/", "/", "", ""},
        {"/a", "/", "a", ""},
        {"/a/b/", "/a", "b", ""},
        {"a", "", "a", ""},
        {"a/b.c", "a", "b.c", "c"},
        {"/var/log/VolumeSmith.log", "/var/log", "VolumeSmith.log", "log"},
        {"/x.d/trace", "/x.d", "trace", ""},
        {"/x/.hidden", "/x", ".hidden", "hidden"},
        {"/x/a.tar.gz", "/x", "a.tar.gz", "gz"},
    };
    for (const auto& c : cases) {
        std::string parent = c.path;
        vdpath_parent(parent);
        EXPECT_EQ(parent, c.parent) << c.path;
        EXPECT_EQ(vdpath_filename(c.path), c.filename) << c.path;
        EXPECT_EQ(vdpath_extension(c.path), c.extension) << c.path;
    }
}

TEST(Path, JoinAndRoot) {
    const struct {
        std::string path, component, joined;
    } cases[] = {
        {"", "b", "b"}, {"/", "b", "/b"}, {"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"/a", "", "/a"},
    };
    for (const auto& c : cases) {
        std::string joined = c.path;
        vdpath_join(joined, c.component);
        EXPECT_EQ(joined, c.joined) << c.path << " + " << c.component;
    }
    EXPECT_TRUE(vdpath_is_root("/"));
    EXPECT_FALSE(vdpath_is_root("//"));
    EXPECT_FALSE(vdpath_is_root(""));
}

TEST(Path, CanonicalResolvesLinksAndMissingTails) {
    char scratch[] = "/tmp/vdpath-XXXXXX";
    ASSERT_NE(::mkdtemp(scratch), nullptr);
    const std::string real = std::filesystem::canonical(scratch).string();
    ASSERT_EQ(::mkdir((real + "/dir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("dir", (real + "/link").c_str()), 0);
    ASSERT_EQ(::close(::open((real + "/dir/f").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)), 0);
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
    std::filesystem::remove_all(real);
}

TEST(ShellOutput, ReturnsStandardOutputWhateverTheStatus) {
    EXPECT_EQ(vdshell_output("printf 'one\\ntwo'"), "one\ntwo");
    EXPECT_EQ(vdshell_output("printf partial; exit 3"), "partial");
    EXPECT_EQ(vdshell_output("head -c 2000 /dev/zero").size(), 2000u);
    EXPECT_EQ(vdshell_output(nullptr), "");
}

} // namespace
