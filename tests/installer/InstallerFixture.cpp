#include "tests/installer/InstallerFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/codesign/CodeSignature.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"

namespace vti {

namespace fs = std::filesystem;

std::optional<Owner> ownerOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return Owner{st.st_uid, st.st_gid, st.st_mode & 07777};
}

std::string failingURL(const pf::Error& error) {
    auto it = error.userInfo().find(pf::NSURLErrorFailingURLStringErrorKey);
    if (it == error.userInfo().end()) return "none";
    const pf::URL* url = it->second.url();
    return url ? url->absoluteString() : "no URL object: " + it->second.description();
}

std::vector<std::string> stagedLeftovers(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->path().filename().string().rfind(".vicar-", 0) == 0) found.push_back(it->path().string());
    return found;
}

void InstallerTest::SetUp() {
    if (::geteuid() != 0) GTEST_SKIP() << "installs change owners: needs root";
    dir_ = std::make_unique<vt::TempDir>("vicar-installer");
    fs::create_directories(scratch("keys"));
    fs::create_directories(root());
    ::chmod(scratch("keys").c_str(), 0755);
    std::string why;
    ASSERT_TRUE(pf::codesign::generateKeyPair(scratch("packager"), &why)) << why;
    fs::copy_file(scratch("packager.pub"), scratch("keys/packager.pub"));
    ::setenv("VICAR_TRUSTED_KEYS_DIR", scratch("keys").c_str(), 1);
}

void InstallerTest::TearDown() { ::unsetenv("VICAR_TRUSTED_KEYS_DIR"); }

void InstallerTest::clearRoot() {
    for (const auto& item : fs::directory_iterator(root())) fs::remove_all(item.path());
}

std::string InstallerTest::makeBundle(const std::string& name, const std::vector<BundleFile>& files,
                                      const pf::Value& bomValue, const std::map<std::string, std::string>& links) {
    const std::string bundle = scratch(name);
    vt::writeFile(bundle + "/Contents/Info.plist", "<plist><dict/></plist>\n");
    for (const auto& file : files) vt::writeFile(bundle + "/" + file.path, file.content, file.mode);
    for (const auto& [path, target] : links) {
        fs::create_directories(fs::path(bundle + "/" + path).parent_path());
        EXPECT_EQ(::symlink(target.c_str(), (bundle + "/" + path).c_str()), 0) << path;
    }
    if (!bomValue.isNull()) vt::writeFile(bundle + "/Contents/Resources/BOM.plist", *pf::xmlPropertyList(bomValue));
    sign(bundle);
    return bundle;
}

void InstallerTest::sign(const std::string& bundle) {
    std::string why;
    EXPECT_TRUE(pf::codesign::signBundle(bundle, scratch("packager.key"), &why)) << why;
}

std::shared_ptr<VDTrustedInstaller> InstallerTest::installerFor(const std::string& bundle, bool underRoot) {
    auto installer = VDTrustedInstaller::installerWithBundle(pf::Bundle::bundleWithPath(bundle));
    if (installer && underRoot) installer->setInstallRoot(pf::URL::fileURLWithPath(root(), true));
    return installer;
}

} // namespace vti
