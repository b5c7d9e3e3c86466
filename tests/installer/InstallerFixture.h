#pragma once
// Real signed bundles in a private folder: a packager key pair whose public
// half is the only trusted key, bundles signed with it, and an install root
// below the same folder.
#include <sys/types.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "installer/VDTrustedInstaller.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "tests/support/BomBuilder.h"
#include "tests/support/TestSupport.h"

namespace vti {

using vt::bom;

struct BundleFile {
    std::string path; // relative to the bundle's root
    std::string content;
    unsigned mode = 0644;
};

struct Owner {
    uid_t uid;
    gid_t gid;
    mode_t mode; // permission bits
    bool operator==(const Owner&) const = default;
};
std::optional<Owner> ownerOf(const std::string& path); // lstat

// The failing URL of an installer error as text; it must be a URL object.
std::string failingURL(const pf::Error& error);

// The temporary names of staged copies left below a folder (none expected).
std::vector<std::string> stagedLeftovers(const std::string& folder);

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the bundle, its BOM (Contents/Resources/BOM.plist, left out for
    // a null value) and its symlinks (path: target), and signs it.
    std::string makeBundle(const std::string& name, const std::vector<BundleFile>& files, const pf::Value& bomValue,
                           const std::map<std::string, std::string>& links = {});
    void sign(const std::string& bundle);
    std::shared_ptr<VDTrustedInstaller> installerFor(const std::string& bundle, bool underRoot = true);
    // Empties the install root between the cases of one test.
    void clearRoot();

    std::string root() const { return *dir_ / "root"; }
    std::string inRoot(const std::string& absolute) const { return root() + absolute; }
    std::string scratch(const std::string& leaf) const { return *dir_ / leaf; }

private:
    std::unique_ptr<vt::TempDir> dir_;
};

} // namespace vti
