#include "foundation_ext/FileManagerExtensions.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// Makes the tree: a path ending in '/' is a folder, a content "->target" a symlink.
void makeTree(const std::string& root, const std::vector<std::pair<std::string, std::string>>& items) {
    fs::create_directory(root);
    for (const auto& [path, content] : items) {
        if (path.ends_with('/')) fs::create_directory(root + "/" + path);
        else if (content.starts_with("->")) fs::create_symlink(content.substr(2), root + "/" + path);
        else vt::writeFile(root + "/" + path, content);
    }
}

TEST(FileManagerExtensions, MakesPathsUnique) {
    vt::TempDir dir;
    for (const char* expected : {"a.txt", "a.txt 1", "a.txt 2"}) {
        EXPECT_EQ(makePathUnique(dir / "a.txt"), dir / expected);
        vt::writeFile(dir / expected, "");
    }
}

TEST(FileManagerExtensions, ComparesTreesEntryByEntry) {
    using Tree = std::vector<std::pair<std::string, std::string>>;
    const Tree base{{"a/", ""}, {"a/f1", "one"}, {"b", "22"}, {"e/", ""}, {"l", "->a"}};
    const struct {
        const char* name;
        Tree other;
        bool equal;
    } cases[] = {
        {"other names, same shape", {{"c/", ""}, {"c/g1", "one"}, {"d", "22"}, {"f/", ""}, {"m", "->a"}}, true},
        {"same size, other bytes", {{"a/", ""}, {"a/f1", "onE"}, {"b", "22"}, {"e/", ""}, {"l", "->a"}}, false},
        {"a file for a folder", {{"a/", ""}, {"a/f1", "one"}, {"b", "22"}, {"e", ""}, {"l", "->a"}}, false},
        {"one entry more", {{"a/", ""}, {"a/f1", "one"}, {"b", "22"}, {"e/", ""}, {"e/x", ""}, {"l", "->a"}}, false},
        {"other link target", {{"a/", ""}, {"a/f1", "one"}, {"b", "22"}, {"e/", ""}, {"l", "->b"}}, false},
    };
    vt::TempDir dir;
    makeTree(dir / "base", base);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string other = dir / c.name;
        makeTree(other, c.other);
        EXPECT_EQ(isDirectory(dir / "base", other), c.equal);
        EXPECT_EQ(isDirectory(other, dir / "base"), c.equal);
    }
    EXPECT_TRUE(isDirectory(dir / "base", dir / "base"));
    EXPECT_FALSE(isDirectory(dir / "base", dir / "base/b"));
}

// The sizes the queries must give, summed from lstat over the same tree.
std::uint64_t expectedSize(const std::string& root, bool physical, std::uint64_t block) {
    std::uint64_t total = 0;
    const auto add = [&](const std::string& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return;
        const std::uint64_t logical = st.st_size, used = std::uint64_t(st.st_blocks) * 512;
        total += !physical ? logical : used >= logical ? used : (logical + block - 1) / block * block;
    };
    add(root);
    for (const auto& entry : fs::recursive_directory_iterator(root)) add(entry.path());
    return total;
}

TEST(FileManagerExtensions, SizesAndCountsMatchStat) {
    vt::TempDir dir;
    const std::string root = dir / "tree";
    makeTree(root, {{"small", "x"}, {"empty", ""}, {"d/", ""}, {"d/e/", ""}, {"d/e/big", std::string(100000, 'b')},
                    {"link", "->small"}, {"d/none/", ""}});
    vt::writeFile(root + "/d/sparse", "");
    fs::resize_file(root + "/d/sparse", 10 << 20); // allocated far below its length
    struct statvfs vfs;
    ASSERT_EQ(::statvfs(root.c_str(), &vfs), 0);
    EXPECT_EQ(logicalSizeOfDirectory(root), expectedSize(root, false, vfs.f_frsize));
    EXPECT_EQ(physicalSizeOfDirectory(root), expectedSize(root, true, vfs.f_frsize));
    EXPECT_EQ(logicalSizeOfDirectory(root + "/d/e/big"), 100000u); // not a folder: the item itself
    EXPECT_EQ(itemCountForDirectory(root), 4u);
    EXPECT_EQ(itemCountForDirectory(root + "/d/none"), 0u);
    EXPECT_EQ(itemCountForDirectory(root + "/small"), std::nullopt);

    errno = 0;
    EXPECT_EQ(logicalSizeOfDirectory(""), 0u);
    EXPECT_EQ(errno, -50);
    EXPECT_EQ(physicalSizeOfDirectory(root + "/missing"), 0u);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileManagerExtensions, CustomVolumeIconAndRecoveryMarker) {
    vt::TempDir dir;
    const auto volume = pf::URL::fileURLWithPath(dir.path(), true);
    vt::writeFile(dir / "icon.icns", "icns-bytes");
    ASSERT_TRUE(setCustomIconWithICNSResource(pf::URL::fileURLWithPath(dir / "icon.icns"), volume));
    EXPECT_EQ(vt::readFile(dir / ".VolumeIcon.icns"), "icns-bytes");
    EXPECT_TRUE(itemHasCustomIcon(volume));
    ASSERT_TRUE(setCustomIconWithICNSResource(std::nullopt, volume));
    EXPECT_FALSE(fs::exists(dir / ".VolumeIcon.icns"));
    EXPECT_FALSE(itemHasCustomIcon(volume));

    vt::writeFile(dir / ".com.vandrelsys.recoverydisk", "");
    EXPECT_FALSE(isVandrelRecoveryVolumeAtMountedURL(*volume)); // the marker alone is not enough
    ASSERT_TRUE(fs::create_directories(dir / "System/Library/CoreServices"));
    EXPECT_TRUE(isVandrelRecoveryVolumeAtMountedURL(*volume));
}

} // namespace
