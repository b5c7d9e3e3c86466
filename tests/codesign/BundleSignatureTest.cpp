#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "platform/codesign/CodeSignature.h"
#include "platform/foundation/PropertyList.h"
#include "tests/codesign/BundleFixture.h"

namespace vt {
namespace {

using pf::codesign::SealedManifest;
using pf::codesign::verifyBundle;

TEST_F(SignedBundleTest, SignedBundleVerifiesAndSealsEveryItem) {
    std::string why;
    const auto manifest = verifyBundle(bundle(), &why);
    ASSERT_TRUE(manifest) << why;
    EXPECT_EQ(manifest->keyName(), "packager");
    // Contents, Info.plist, MacOS, Sample, Resources, data.txt, latest, sub, deep.txt.
    EXPECT_EQ(manifest->entries().size(), 9u);
    const auto* tool = manifest->find("Contents/MacOS/Sample");
    ASSERT_TRUE(tool);
    EXPECT_EQ(tool->kind, SealedManifest::Entry::File);
    EXPECT_EQ(tool->mode, 0755u);
    const auto* link = manifest->find("Contents/Resources/latest");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->kind, SealedManifest::Entry::Link);
    EXPECT_EQ(link->linkTarget, "data.txt");
    EXPECT_FALSE(manifest->find("Contents/_CodeSignature/CodeResources"));
    EXPECT_FALSE(manifest->find("Contents/Resources/../Info.plist"));
}

TEST_F(SignedBundleTest, LoadChecksTheSignatureButNotTheFiles) {
    writeFile(item("Contents/Resources/data.txt"), "other bytes\n");
    std::string why;
    EXPECT_TRUE(SealedManifest::load(bundle(), &why)) << why;
    EXPECT_FALSE(verifyBundle(bundle(), &why));
}

TEST_F(SignedBundleTest, SigningAgainAfterAChangeSealsTheNewContent) {
    writeFile(item("Contents/Resources/added.txt"), "new\n");
    std::string why;
    ASSERT_FALSE(verifyBundle(bundle(), &why));
    ASSERT_TRUE(pf::codesign::signBundle(bundle(), privateKey(), &why)) << why;
    EXPECT_TRUE(verifyBundle(bundle(), &why)) << why;
}

TEST_F(SignedBundleTest, EveryTamperingFailsWithItsReason) {
    namespace fs = std::filesystem;
    const auto relink = [](const std::string& path, const char* target) {
        fs::remove(path);
        fs::create_symlink(target, path);
    };
    struct Case {
        const char* name;
        std::function<void()> tamper;
        const char* reason;
    };
    const Case cases[] = {
        {"changed byte", [&] { writeFile(item("Contents/Resources/data.txt"), "payload bytes!"); }, "was modified"},
        {"extra file", [&] { writeFile(item("Contents/Resources/extra.txt"), "x"); }, "extra.txt is not sealed"},
        {"extra folder", [&] { fs::create_directory(item("Contents/Plugins")); }, "Plugins is not sealed"},
        {"removed file", [&] { fs::remove(item("Contents/Resources/sub/deep.txt")); }, "deep.txt is missing"},
        {"swapped symlink target", [&] { relink(item("Contents/Resources/latest"), "sub/deep.txt"); }, "points to"},
        {"file replaced by a symlink", [&] { relink(item("Contents/Resources/data.txt"), "../Info.plist"); },
         "is a symlink but was sealed as a file"},
        {"folder replaced by a symlink",
         [&] {
             fs::rename(item("Contents/Resources/sub"), scratch("sub"));
             fs::create_directory_symlink(scratch("sub"), item("Contents/Resources/sub"));
         },
         "is a symlink but was sealed as a folder"},
        {"mode changed", [&] { fs::permissions(item("Contents/MacOS/Sample"), fs::perms(04755)); }, "has mode 4755"},
        {"fifo added", [&] { ::mkfifo(item("Contents/Resources/pipe").c_str(), 0644); },
         "neither a file, a folder nor a symlink"},
        {"untrusted key", [&] { fs::remove(keysDir() + "/packager.pub"); }, "is not trusted"},
        {"another key of the same name",
         [&] {
             std::string why;
             ASSERT_TRUE(pf::codesign::generateKeyPair(scratch("packager"), &why)) << why;
             fs::copy_file(scratch("packager.pub"), keysDir() + "/packager.pub", fs::copy_options::overwrite_existing);
         },
         "does not verify"},
        {"trusted-keys folder group-writable", [&] { ::chmod(keysDir().c_str(), 0775); }, "writable by group or others"},
        {"trusted-keys folder is a symlink",
         [&] {
             fs::rename(keysDir(), scratch("real-keys"));
             fs::create_directory_symlink(scratch("real-keys"), keysDir());
         },
         "trusted-keys folder cannot be used"},
        {"trusted key file is a symlink",
         [&] {
             fs::rename(keysDir() + "/packager.pub", scratch("elsewhere.pub"));
             fs::create_symlink(scratch("elsewhere.pub"), keysDir() + "/packager.pub");
         },
         "trusted key \"packager\" cannot be read"},
        {"trusted key file world-writable", [&] { ::chmod((keysDir() + "/packager.pub").c_str(), 0646); },
         "writable by others"},
        {"corrupted signature",
         [&] {
             auto plist = pf::propertyListFromFile(signatureFile("CodeSignature"));
             ASSERT_TRUE(plist);
             pf::Data signature = plist->find("signature")->data();
             signature[10] ^= 0x01;
             plist->dictionary()["signature"] = signature;
             writeFile(signatureFile("CodeSignature"), *pf::xmlPropertyList(*plist));
         },
         "does not verify"},
        {"manifest edited without signing",
         [&] {
             std::string xml = readFile(signatureFile("CodeResources"));
             xml.replace(xml.find("<integer>493</integer>"), 22, "<integer>511</integer>");
             writeFile(signatureFile("CodeResources"), xml);
         },
         "does not verify"},
        {"signature missing", [&] { fs::remove(signatureFile("CodeSignature")); }, "bundle's signature cannot be read"},
        {"manifest with a ../x path",
         [&] {
             auto plist = pf::propertyListFromFile(signatureFile("CodeResources"));
             ASSERT_TRUE(plist);
             plist->dictionary()["files"].dictionary()["../x"] = pf::Dictionary{{"kind", "link"}, {"target", "/etc"}};
             resealManifest(*pf::xmlPropertyList(*plist));
         },
         "cannot be sealed: \"../x\""},
        {"manifest with an absolute path",
         [&] {
             auto plist = pf::propertyListFromFile(signatureFile("CodeResources"));
             ASSERT_TRUE(plist);
             plist->dictionary()["files"].dictionary()["/etc/passwd"] =
                 pf::Dictionary{{"kind", "link"}, {"target", "x"}};
             resealManifest(*pf::xmlPropertyList(*plist));
         },
         "cannot be sealed"},
        {"manifest entry without its folder",
         [&] {
             auto plist = pf::propertyListFromFile(signatureFile("CodeResources"));
             ASSERT_TRUE(plist);
             plist->dictionary()["files"].dictionary().erase("Contents/Resources/sub");
             resealManifest(*pf::xmlPropertyList(*plist));
         },
         "but not its folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeSignedBundle();
        ASSERT_TRUE(verifyBundle(bundle(), nullptr)) << "the untampered bundle must verify";
        c.tamper();
        std::string why;
        EXPECT_FALSE(verifyBundle(bundle(), &why));
        EXPECT_NE(why.find(c.reason), std::string::npos) << "reason: " << why;
    }
}

TEST_F(SignedBundleTest, BundlePathThatIsASymlinkIsRefused) {
    std::filesystem::create_directory_symlink(bundle(), scratch("Alias.app"));
    std::string why;
    EXPECT_FALSE(verifyBundle(scratch("Alias.app"), &why));
    EXPECT_FALSE(SealedManifest::load(scratch("Alias.app"), &why));
    EXPECT_FALSE(verifyBundle("", &why));
}

TEST_F(SignedBundleTest, KeyGenerationRefusesToOverwriteAndBadNames) {
    std::string why;
    EXPECT_FALSE(pf::codesign::generateKeyPair(scratch("private/packager"), &why));
    EXPECT_FALSE(pf::codesign::generateKeyPair(scratch("bad name"), &why));
    struct stat st {};
    ASSERT_EQ(::stat(privateKey().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

} // namespace
} // namespace vt
