// Bundles changed after signing, and sources changed while the install runs.
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "installer/VDInstallResource.h"
#include "platform/foundation/PropertyList.h"
#include "tests/installer/InstallerFixture.h"

namespace vti {
namespace {

namespace fs = std::filesystem;

class Tamper : public InstallerTest {
protected:
    std::string sample(const std::string& name) {
        return makeBundle(name, {{"Contents/Resources/f", "payload"}, {"Contents/Resources/Dir/inner", "inner"}},
                          bom({vt::bomEntry("Contents/Resources/f", "/f", "644"), vt::bomEntry("Contents/Resources/Dir", "/Dir", "755")},
                              {vt::bomRemoval("/f")}),
                          {{"Contents/Resources/link", "f"}});
    }
};

// Each kind of change is the signature check's own case; here: the install
// runs that check itself, at install time, and reports the bundle.
TEST_F(Tamper, BundleChangedAfterTheInstallerWasMadeGives88AndTouchesNothing) {
    const struct {
        const char* name;
        std::function<void(const std::string& bundle)> change;
    } cases[] = {
        {"changed byte", [](const std::string& b) { vt::writeFile(b + "/Contents/Resources/f", "pAyload"); }},
        {"swapped symlink",
         [](const std::string& b) {
             fs::remove(b + "/Contents/Resources/link");
             fs::create_symlink("/etc/shadow", b + "/Contents/Resources/link");
         }},
        // A new BOM, even one signed again, is not the one this installer read.
        {"BOM replaced and signed again",
         [this](const std::string& b) {
             vt::writeFile(b + "/Contents/Resources/BOM.plist",
                           *pf::xmlPropertyList(bom({vt::bomEntry("Contents/Resources/f", "/other", "644")}, {})));
             sign(b);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bundle = sample(std::string(c.name) + ".app");
        auto installer = installerFor(bundle);
        ASSERT_TRUE(installer);
        c.change(bundle);
        auto error = installer->install();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), pf::NSPOSIXErrorDomain);
        EXPECT_EQ(error->code(), 88);
        EXPECT_EQ(failingURL(*error), pf::URL::fileURLWithPath(bundle, true)->absoluteString());
        EXPECT_TRUE(fs::is_empty(root()));
    }
    // A fresh installer reads the new BOM.
    EXPECT_EQ(installerFor(scratch("BOM replaced and signed again.app"))->install(), std::nullopt);
    EXPECT_TRUE(fs::exists(inRoot("/other")));
}

TEST_F(Tamper, CheckedSourceOutsideTheBundleMustPassItsOwnSignature) {
    const std::string other = makeBundle("Other.app", {{"Contents/Resources/lib", "lib"}}, pf::Value());
    vt::writeFile(scratch("unsigned/lib"), "lib");
    const struct {
        const char* name;
        std::string from;
        bool installs;
        bool otherChanged = false; // the other bundle changed after signing
    } cases[] = {
        {"item of another signed bundle", other + "/Contents/Resources/lib", true},
        {"the other bundle as a whole", other, true},
        {"unsigned file", scratch("unsigned/lib"), false},
        {"item of a bundle changed since", other + "/Contents/Resources/lib", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearRoot();
        if (c.otherChanged) vt::writeFile(other + "/Contents/Resources/lib", "LIB");
        vt::LogCapture log;
        const std::string bundle =
            makeBundle(std::string(c.name) + ".app", {}, bom({vt::bomEntry(c.from, "/lib", "644", "", "", true)}, {}));
        auto error = installerFor(bundle)->install();
        EXPECT_EQ(!error, c.installs) << (error ? error->description() : "");
        EXPECT_EQ(fs::exists(inRoot("/lib")), c.installs);
        if (!c.installs) {
            EXPECT_EQ(error->code(), 22);
            EXPECT_TRUE(log.contains("Exception @ 364: Bad resource.")) << log.lines().size();
        }
    }
}

// The observer runs after a source validated and before it is copied: every
// change made there fails that resource with code 1, and nothing of it lands.
TEST_F(Tamper, SourceChangedBetweenValidationAndCopyGivesCode1) {
    struct Case {
        const char* name;
        const char* changedSource; // the resource whose validation triggers the change
        std::function<void(const std::string& bundle)> change;
        const char* failingFrom;
    };
    const Case cases[] = {
        {"bytes rewritten in place", "f",
         [](const std::string& b) { vt::writeFile(b + "/Contents/Resources/f", "evil!!!"); }, "f"},
        {"another file renamed over it", "f",
         [](const std::string& b) {
             vt::writeFile(b + "/evil", "payload");
             fs::rename(b + "/evil", b + "/Contents/Resources/f");
         },
         "f"},
        {"replaced by a symlink", "f",
         [](const std::string& b) {
             fs::remove(b + "/Contents/Resources/f");
             fs::create_symlink("/etc/passwd", b + "/Contents/Resources/f");
         },
         "f"},
        {"file inside a copied folder", "Dir",
         [](const std::string& b) { vt::writeFile(b + "/Contents/Resources/Dir/inner", "INNER"); }, "Dir"},
        {"file added to a copied folder", "Dir",
         [](const std::string& b) { vt::writeFile(b + "/Contents/Resources/Dir/added", "x"); }, "Dir"},
        // The change of the first source hits the second one before its own validation.
        {"next source replaced", "f",
         [](const std::string& b) {
             fs::rename(b + "/Contents/Resources/Dir", b + "/old");
             fs::create_directories(b + "/Contents/Resources/Dir");
         },
         "Dir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearRoot();
        const std::string bundle = sample(std::string(c.name) + ".app");
        auto installer = installerFor(bundle);
        bool changed = false;
        installer->setSourceValidatedObserver([&](const VDInstallResource& resource) {
            if (!changed && resource.from()->lastPathComponent() == c.changedSource) {
                changed = true;
                c.change(bundle);
            }
        });
        auto error = installer->install();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), pf::NSPOSIXErrorDomain);
        EXPECT_EQ(error->code(), 1);
        const std::string from = pf::URL::fileURLWithPath(bundle + "/Contents/Resources/" + c.failingFrom, false)
                                     ->absoluteString();
        EXPECT_EQ(failingURL(*error).rfind(from, 0), 0u) << failingURL(*error);
        EXPECT_FALSE(fs::exists(inRoot(std::string("/") + c.failingFrom)));
        EXPECT_EQ(stagedLeftovers(root()), std::vector<std::string>{});
        if (std::string(c.failingFrom) == "Dir") {
            EXPECT_EQ(vt::readFile(inRoot("/f")), "payload");
        }
    }
}

} // namespace
} // namespace vti
