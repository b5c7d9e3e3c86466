// Signing and verifying a sample bundle, and every way of tampering with it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "platform/codesign/CodeSignature.h"
#include "platform/foundation/Format.h"
#include "tests/support/TestSupport.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using pf::codesign::verifyBundle;

// A signed sample bundle in a private folder, with its key pair and a
// trusted-keys folder holding the public half ($VICAR_TRUSTED_KEYS_DIR).
class SignedBundleTest : public ::testing::Test {
protected:
    void SetUp() override { makeSignedBundle(); }
    void TearDown() override { ::unsetenv("VICAR_TRUSTED_KEYS_DIR"); }

    // Starts over in a new private folder, for tests that tamper many times.
    void makeSignedBundle() {
        dir_ = std::make_unique<TempDir>("vicar-codesign");
        fs::create_directories(keysDir());
        ::chmod(keysDir().c_str(), 0755);
        std::string why;
        ASSERT_TRUE(pf::codesign::generateKeyPair(scratch("packager"), &why)) << why;
        fs::copy_file(scratch("packager.pub"), keysDir() + "/packager.pub");
        ::setenv("VICAR_TRUSTED_KEYS_DIR", keysDir().c_str(), 1);
        writeFile(item("Contents/Info.plist"), "<plist><dict/></plist>\n");
        writeFile(item("Contents/MacOS/Sample"), "#!/bin/sh\necho sample\n", 0755);
        writeFile(item("Contents/Resources/data.txt"), "payload bytes\n");
        writeFile(item("Contents/Resources/sub/deep.txt"), "deep\n", 0600);
        ASSERT_EQ(::symlink("data.txt", item("Contents/Resources/latest").c_str()), 0);
        ASSERT_TRUE(pf::codesign::signBundle(bundle(), privateKey(), &why)) << why;
    }

    std::string bundle() const { return *dir_ / "Sample.app"; }
    std::string item(const std::string& relative) const { return bundle() + "/" + relative; }
    std::string keysDir() const { return *dir_ / "keys"; }
    std::string privateKey() const { return *dir_ / "packager.key"; }
    std::string signatureFile(const char* leaf) const { return item("Contents/_CodeSignature/") + leaf; }
    std::string scratch(const std::string& leaf) const { return *dir_ / leaf; }

private:
    std::unique_ptr<TempDir> dir_;
};

TEST_F(SignedBundleTest, SigningSealsEveryItemAndAChangeAndNeverOverwritesAKey) {
    std::string why;
    const auto manifest = verifyBundle(bundle(), &why);
    ASSERT_TRUE(manifest) << why;
    EXPECT_EQ(manifest->keyName(), "packager");
    // Every item once (a file with its mode and hash, a link with its target), and
    // nothing of the signature itself; folder modes follow the umask.
    std::string sealed;
    for (const auto& [path, e] : manifest->entries())
        sealed += path + " " + "fld"[e.kind] +
                  (e.kind == e.File ? pf::format("%o#%zu", e.mode, e.hashHex.size()) : "") + e.linkTarget + "\n";
    EXPECT_EQ(sealed, "Contents d\nContents/Info.plist f644#64\nContents/MacOS d\nContents/MacOS/Sample f755#64\n"
                      "Contents/Resources d\nContents/Resources/data.txt f644#64\nContents/Resources/latest ldata.txt\n"
                      "Contents/Resources/sub d\nContents/Resources/sub/deep.txt f600#64\n");
    EXPECT_FALSE(manifest->find("Contents/Resources/../Info.plist"));

    // Loading checks only the signature; signing again seals the change.
    writeFile(item("Contents/Resources/data.txt"), "other bytes\n");
    EXPECT_TRUE(pf::codesign::SealedManifest::load(bundle(), &why)) << why;
    EXPECT_FALSE(verifyBundle(bundle(), &why));
    ASSERT_TRUE(pf::codesign::signBundle(bundle(), privateKey(), &why)) << why;
    EXPECT_TRUE(verifyBundle(bundle(), &why)) << why;
    // A key pair is never overwritten, and its private half is the owner's alone.
    EXPECT_FALSE(pf::codesign::generateKeyPair(scratch("packager"), &why));
    EXPECT_FALSE(pf::codesign::generateKeyPair(scratch("bad name"), &why));
    EXPECT_EQ(fs::status(privateKey()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(SignedBundleTest, EveryTamperingFailsWithItsReason) {
    // Moves a real item away and leaves a symlink to it in its place.
    const auto swapForLink = [&](const std::string& path, const std::string& away) {
        fs::rename(path, scratch(away));
        fs::create_symlink(scratch(away), path);
    };
    struct Case {
        const char* name;
        std::function<void()> tamper;
        const char* reason;
    };
    const Case cases[] = {
        {"bundle path is a symlink", [&] { swapForLink(bundle(), "Real.app"); }, "cannot open the folder"},
        {"changed byte", [&] { writeFile(item("Contents/Resources/data.txt"), "payload bytes!"); }, "was modified"},
        {"changed byte in the last of many large files", // some hashed beside the walk, some in it
         [&] {
             const std::string big(1 << 20, 'b');
             for (int i = 0; i < 12; ++i) writeFile(item("Contents/Resources/big" + std::to_string(i)), big);
             ASSERT_TRUE(pf::codesign::signBundle(bundle(), privateKey(), nullptr));
             writeFile(item("Contents/Resources/big11"), big.substr(1) + "c");
         },
         "big11 was modified"},
        {"extra file", [&] { writeFile(item("Contents/Resources/extra.txt"), "x"); }, "extra.txt is not sealed"},
        {"removed file", [&] { fs::remove(item("Contents/Resources/sub/deep.txt")); }, "deep.txt is missing"},
        {"swapped symlink target", [&] { swapForLink(item("Contents/Resources/latest"), "old"); }, "points to"},
        {"file replaced by a symlink", [&] { swapForLink(item("Contents/Resources/data.txt"), "data.txt"); },
         "is a symlink but was sealed as a file"},
        {"mode changed", [&] { fs::permissions(item("Contents/MacOS/Sample"), fs::perms(04755)); }, "has mode 4755"},
        {"fifo added", [&] { ::mkfifo(item("Contents/Resources/pipe").c_str(), 0644); },
         "neither a file, a folder nor a symlink"},
        {"untrusted key", [&] { fs::remove(keysDir() + "/packager.pub"); }, "is not trusted"},
        {"trusted-keys folder group-writable", [&] { ::chmod(keysDir().c_str(), 0775); }, "writable by group or others"},
        {"trusted-keys folder is a symlink", [&] { swapForLink(keysDir(), "real-keys"); },
         "trusted-keys folder cannot be used"},
        {"trusted key file is a symlink", [&] { swapForLink(keysDir() + "/packager.pub", "elsewhere.pub"); },
         "trusted key \"packager\" cannot be read"},
        {"trusted key file world-writable", [&] { ::chmod((keysDir() + "/packager.pub").c_str(), 0646); },
         "writable by others"},
        {"manifest edited without signing",
         [&] {
             std::string xml = readFile(signatureFile("CodeResources"));
             xml.replace(xml.find("<integer>493</integer>"), 22, "<integer>511</integer>");
             writeFile(signatureFile("CodeResources"), xml);
         },
         "does not verify"},
        {"signature missing", [&] { fs::remove(signatureFile("CodeSignature")); }, "bundle's signature cannot be read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeSignedBundle();
        c.tamper();
        std::string why;
        EXPECT_FALSE(verifyBundle(bundle(), &why));
        EXPECT_NE(why.find(c.reason), std::string::npos) << "reason: " << why;
    }
}

} // namespace
} // namespace vt
