#include "foundation_ext/FileManagerExtensions.h"

#include <ftw.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TestSupport.h"

namespace {

void makeTree(const std::string& root, const std::vector<std::pair<std::string, std::string>>& items) {
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0) << root;
    for (const auto& [path, content] : items) {
        if (path.ends_with('/'))
            ASSERT_EQ(::mkdir((root + "/" + path).c_str(), 0755), 0) << path;
        else if (content.starts_with("->"))
            ASSERT_EQ(::symlink(content.substr(2).c_str(), (root + "/" + path).c_str()), 0) << path;
        else
            vt::writeFile(root + "/" + path, content);
    }
}

TEST(FileManagerExtensions, MakesPathsUnique) {
    vt::TempDir dir;
    EXPECT_EQ(makePathUnique(dir / "a.txt"), dir / "a.txt");
    vt::writeFile(dir / "a.txt", "");
    EXPECT_EQ(makePathUnique(dir / "a.txt"), dir / "a.txt 1");
    vt::writeFile(dir / "a.txt 1", "");
    EXPECT_EQ(makePathUnique(dir / "a.txt"), dir / "a.txt 2");
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
        {"other size", {{"a/", ""}, {"a/f1", "one!"}, {"b", "22"}, {"e/", ""}, {"l", "->a"}}, false},
        {"a file for a folder", {{"a/", ""}, {"a/f1", "one"}, {"b", "22"}, {"e", ""}, {"l", "->a"}}, false},
        {"one entry more", {{"a/", ""}, {"a/f1", "one"}, {"b", "22"}, {"e/", ""}, {"e/x", ""}, {"l", "->a"}}, false},
        {"other link target", {{"a/", ""}, {"a/f1", "one"}, {"b", "22"}, {"e/", ""}, {"l", "->b"}}, false},
    };
    vt::TempDir dir;
    makeTree(dir / "base", base);
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string other = dir / std::to_string(n++);
        makeTree(other, c.other);
        EXPECT_EQ(isDirectory(dir / "base", other), c.equal);
        EXPECT_EQ(isDirectory(other, dir / "base"), c.equal);
    }
    makeTree(dir / "empty1", {});
    makeTree(dir / "empty2", {});
    EXPECT_TRUE(isDirectory(dir / "empty1", dir / "empty2"));
    EXPECT_TRUE(isDirectory(dir / "base", dir / "base"));
    EXPECT_FALSE(isDirectory(dir / "base", dir / "base/b"));
    EXPECT_FALSE(isDirectory(dir / "base", dir / "missing"));
}

// The sizes the queries must give, summed from lstat over the same tree.
std::uint64_t expectedSize(const std::string& root, bool physical, std::uint64_t block) {
    static std::uint64_t total;
    static bool wantPhysical;
    static std::uint64_t blockSize;
    total = 0, wantPhysical = physical, blockSize = block;
    ::nftw(root.c_str(), [](const char*, const struct stat* st, int type, FTW*) {
        if (type == FTW_D || type == FTW_DP) return 0;
        const std::uint64_t logical = st->st_size, allocated = std::uint64_t(st->st_blocks) * 512;
        if (!wantPhysical) total += logical;
        else if (allocated >= logical) total += allocated;
        else total += (logical + blockSize - 1) / blockSize * blockSize;
        return 0;
    }, 16, FTW_PHYS | FTW_MOUNT);
    return total;
}

TEST(FileManagerExtensions, SizesAndCountsMatchStat) {
    vt::TempDir dir;
    const std::string root = dir / "tree";
    makeTree(root, {{"small", "x"}, {"empty", ""}, {"d/", ""}, {"d/e/", ""}, {"d/e/big", std::string(100000, 'b')},
                    {"link", "->small"}, {"d/none/", ""}});
    vt::writeFile(root + "/d/sparse", "");
    std::filesystem::resize_file(root + "/d/sparse", 10 << 20); // allocated far below its length
    struct statvfs vfs;
    ASSERT_EQ(::statvfs(root.c_str(), &vfs), 0);
    for (const std::string& path : {root, root + "/d/e/big", root + "/d/none"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(logicalSizeOfDirectory(path), expectedSize(path, false, vfs.f_frsize));
        EXPECT_EQ(physicalSizeOfDirectory(path), expectedSize(path, true, vfs.f_frsize));
    }
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
    const auto icon = pf::URL::fileURLWithPath(dir / "icon.icns");

    EXPECT_FALSE(setCustomIconWithICNSResource(icon, std::nullopt));
    EXPECT_FALSE(itemHasCustomIcon(volume));
    ASSERT_TRUE(setCustomIconWithICNSResource(icon, volume));
    EXPECT_EQ(vt::readFile(dir / ".VolumeIcon.icns"), "icns-bytes");
    EXPECT_TRUE(itemHasCustomIcon(volume));
    ASSERT_TRUE(setCustomIconWithICNSResource(icon, volume)); // replaces the old copy
    ASSERT_TRUE(setCustomIconWithICNSResource(std::nullopt, volume));
    EXPECT_NE(::access((dir / ".VolumeIcon.icns").c_str(), F_OK), 0);
    EXPECT_FALSE(itemHasCustomIcon(volume));
    EXPECT_FALSE(itemHasCustomIcon(std::nullopt));

    EXPECT_FALSE(isVandrelRecoveryVolumeAtMountedURL(*volume));
    vt::writeFile(dir / ".com.vandrelsys.recoverydisk", "");
    EXPECT_FALSE(isVandrelRecoveryVolumeAtMountedURL(*volume));
    ASSERT_TRUE(std::filesystem::create_directories(dir / "System/Library/CoreServices"));
    EXPECT_TRUE(isVandrelRecoveryVolumeAtMountedURL(*volume));

    EXPECT_NE(volumeNameAtPath(dir.path()).value_or(""), "");
    EXPECT_EQ(volumeNameAtURL(*pf::URL::URLWithString("http://127.0.0.1/")), std::nullopt);
}

} // namespace
