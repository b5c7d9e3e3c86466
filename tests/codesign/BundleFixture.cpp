#include "tests/codesign/BundleFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/Ed25519Key.h"
#include "platform/codesign/ManifestCoding.h"

namespace vt {

void SignedBundleTest::makeSignedBundle() {
    namespace fs = std::filesystem;
    dir_ = std::make_unique<TempDir>("vicar-codesign");
    fs::create_directories(scratch("private"));
    fs::create_directories(keysDir());
    ::chmod(keysDir().c_str(), 0755);
    std::string why;
    ASSERT_TRUE(pf::codesign::generateKeyPair(scratch("private/packager"), &why)) << why;
    fs::copy_file(scratch("private/packager.pub"), keysDir() + "/packager.pub");
    ::setenv("VICAR_TRUSTED_KEYS_DIR", keysDir().c_str(), 1);

    writeFile(item("Contents/Info.plist"), "<plist><dict/></plist>\n");
    writeFile(item("Contents/MacOS/Sample"), "#!/bin/sh\necho sample\n", 0755);
    writeFile(item("Contents/Resources/data.txt"), "payload bytes\n");
    writeFile(item("Contents/Resources/sub/deep.txt"), "deep\n", 0600);
    ASSERT_EQ(::symlink("data.txt", item("Contents/Resources/latest").c_str()), 0);
    ASSERT_TRUE(pf::codesign::signBundle(bundle(), privateKey(), &why)) << why;
}

void SignedBundleTest::TearDown() { ::unsetenv("VICAR_TRUSTED_KEYS_DIR"); }

void SignedBundleTest::resealManifest(const std::string& manifestXml) const {
    std::string why;
    auto key = pf::codesign::Ed25519Key::fromPrivatePem(readFile(privateKey()), &why);
    ASSERT_TRUE(key) << why;
    auto signature = key->sign(manifestXml, &why);
    ASSERT_TRUE(signature) << why;
    auto record = pf::codesign::encodeSignature({"packager", *signature}, &why);
    ASSERT_TRUE(record) << why;
    writeFile(signatureFile("CodeResources"), manifestXml);
    writeFile(signatureFile("CodeSignature"), *record);
}

} // namespace vt
