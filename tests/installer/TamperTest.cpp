// Bundles changed after signing, and sources changed while the install runs.
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

#include "installer/VDInstallResource.h"
#include "platform/foundation/PropertyList.h"
#include "tests/installer/InstallerFixture.h"

namespace vti {
namespace {

namespace fs = std::filesystem;

class Tamper : public InstallerTest {};

// A change after the installer was made fails the install with 88 at its bundle
// check (each kind of change is the signature check's own case); one after a
// source was validated, before its copy, fails that resource with code 1. The
// error names the bundle or the source; nothing of the failing resource lands.
TEST_F(Tamper, ChangesAfterTheChecksFailTheInstallAndLandNothing) {
    struct Case {
        const char* name;
        const char* changedSource; // the resource whose validation triggers the change; null: before the install
        std::function<void(const std::string& bundle)> change;
        int code;
        const char* failing; // the failing resource's source, or "" for the bundle
    };
    const Case cases[] = {
        {"changed byte", nullptr, [](auto& b) { vt::writeFile(b + "/Contents/Resources/f", "pAyload"); }, 88, ""},
        // A new BOM, even one signed again, is not the one this installer read.
        {"BOM replaced and signed again", nullptr,
         [this](auto& b) {
             vt::writeFile(b + "/Contents/Resources/BOM.plist",
                           *pf::xmlPropertyList(bom({vt::bomEntry("Contents/Resources/f", "/other", "644")}, {})));
             sign(b);
         },
         88, ""},
        {"bytes rewritten in place", "f", [](auto& b) { vt::writeFile(b + "/Contents/Resources/f", "x"); }, 1, "f"},
        {"another file renamed over it", "f",
         [](auto& b) {
             vt::writeFile(b + "/evil", "payload");
             fs::rename(b + "/evil", b + "/Contents/Resources/f");
         },
         1, "f"},
        {"replaced by a symlink", "f",
         [](auto& b) {
             fs::remove(b + "/Contents/Resources/f");
             fs::create_symlink("/etc/passwd", b + "/Contents/Resources/f");
         },
         1, "f"},
        {"file inside a copied folder", "Dir",
         [](auto& b) { vt::writeFile(b + "/Contents/Resources/Dir/inner", "IN"); }, 1, "Dir"},
        {"file added to a copied folder", "Dir",
         [](auto& b) { vt::writeFile(b + "/Contents/Resources/Dir/x", "x"); }, 1, "Dir"},
        // The change of the first source hits the second one before its own validation.
        {"next source replaced", "f",
         [](auto& b) {
             fs::rename(b + "/Contents/Resources/Dir", b + "/old");
             fs::create_directories(b + "/Contents/Resources/Dir");
         },
         1, "Dir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearRoot();
        const std::string bundle =
            makeBundle(std::string(c.name) + ".app",
                       {{"Contents/Resources/f", "payload"}, {"Contents/Resources/Dir/inner", "inner"}},
                       bom({vt::bomEntry("Contents/Resources/f", "/f", "644"),
                            vt::bomEntry("Contents/Resources/Dir", "/Dir", "755")},
                           {}));
        auto installer = installerFor(bundle);
        ASSERT_TRUE(installer);
        bool changed = !c.changedSource;
        if (changed) c.change(bundle);
        installer->setSourceValidatedObserver([&](const VDInstallResource& resource) {
            if (!changed && resource.from()->lastPathComponent() == c.changedSource) {
                changed = true;
                c.change(bundle);
            }
        });
        auto error = installer->install();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), pf::NSPOSIXErrorDomain);
        EXPECT_EQ(error->code(), c.code);
        const std::string failing = *c.failing ? "/Contents/Resources/" + std::string(c.failing) : "/";
        EXPECT_EQ(failingURL(*error), pf::URL::fileURLWithPath(bundle + failing, false)->absoluteString());
        // Only the resource before a failing folder installed.
        std::set<std::string> landed;
        for (const auto& item : fs::directory_iterator(root())) landed.insert(item.path().filename());
        EXPECT_EQ(landed, failing.ends_with("Dir") ? std::set<std::string>{"f"} : std::set<std::string>{});
    }
    // A fresh installer reads the new BOM.
    EXPECT_EQ(installerFor(scratch("BOM replaced and signed again.app"))->install(), std::nullopt);
    EXPECT_TRUE(fs::exists(inRoot("/other")));
}

} // namespace
} // namespace vti
