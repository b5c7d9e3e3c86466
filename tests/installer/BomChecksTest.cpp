// Every check a BOM dictionary can fail, in one table: the BOM does not
// build, and the log names the failing check as the exception convention
// writes it ("Exception @ <guard>: <reason> ...").
#include <gtest/gtest.h>

#include <functional>

#include "installer/VDInstallBOM.h"
#include "tests/installer/InstallerFixture.h"

namespace vti {
namespace {

// Guards around one install entry, one uninstall entry and the whole BOM.
const std::string kInstallEntry = "Exception @ 364: ";
const std::string kUninstallEntry = "Exception @ 393: ";
const std::string kWholeBom = "Exception @ 170: ";

pf::Dictionary& installEntry(pf::Value& bom) {
    return bom.dictionary().at("Install").dictionary().at("Resources").array().at(0).dictionary();
}
pf::Dictionary& uninstallEntry(pf::Value& bom) {
    return bom.dictionary().at("Uninstall").dictionary().at("Resources").array().at(0).dictionary();
}

class BomChecks : public InstallerTest {};

TEST_F(BomChecks, EachFailingCheckIsLoggedAndNoBomIsBuilt) {
    vt::writeFile(scratch("source"), "unsigned bytes");
    const pf::URL root = *pf::URL::fileURLWithPath(scratch(""), true);
    const std::string other = makeBundle("Other.app", {{"Contents/Resources/lib", "lib"}}, pf::Value());
    vt::writeFile(other + "/Contents/Resources/lib", "changed since signing");

    struct Case {
        const char* name;
        std::function<void(pf::Value&)> change;
        std::vector<std::string> logged; // fragments
    };
    // A failing entry is logged by its own guard, then by the whole BOM's.
    auto install = [](const char* why) { return std::vector<std::string>{kInstallEntry + why, kWholeBom + "nil @ 150!"}; };
    auto uninstall = [](const char* why) { return std::vector<std::string>{kUninstallEntry + why, kWholeBom + "nil @ 164!"}; };
    auto whole = [](const char* why) { return std::vector<std::string>{kWholeBom + why}; };
    const std::vector<Case> cases = {
        {"no dictionary", [](pf::Value& b) { b = pf::Value(); }, whole("nil @ 132!")},
        {"no install Resources", [](pf::Value& b) { b.dictionary().at("Install").dictionary().erase("Resources"); },
         whole("nil @ 145!")},
        {"no CSV", [](pf::Value& b) { installEntry(b).erase("CSV"); }, install("nil @ 317!")},
        {"a checked source outside any signed bundle", [](pf::Value& b) { installEntry(b)["CSV"] = true; },
         install("Bad resource.")},
        {"a checked source of a signed bundle changed since",
         [&](pf::Value& b) {
             installEntry(b) = vt::bomEntry(other + "/Contents/Resources/lib", "/x", "644").dictionary();
         },
         install("Bad resource.")},
        {"no To", [](pf::Value& b) { installEntry(b).erase("To"); }, install("nil @ 338!")},
        {"a relative To", [](pf::Value& b) { installEntry(b)["To"] = "opt/x"; }, install("Invalid resource destination.")},
        {"no User", [](pf::Value& b) { installEntry(b).erase("User"); }, install("nil @ 351!")},
        {"no Group", [](pf::Value& b) { installEntry(b).erase("Group"); }, install("nil @ 355!")},
        {"no Mask", [](pf::Value& b) { installEntry(b).erase("Mask"); }, install("nil @ 359!")},
        {"no Uninstall", [](pf::Value& b) { b.dictionary().erase("Uninstall"); }, whole("nil @ 156!")},
        {"no uninstall Resources", [](pf::Value& b) { b.dictionary().at("Uninstall").dictionary().erase("Resources"); },
         whole("nil @ 159!")},
        {"no Path", [](pf::Value& b) { uninstallEntry(b).erase("Path"); }, uninstall("nil @ 376!")},
        {"a relative Path", [](pf::Value& b) { uninstallEntry(b)["Path"] = "opt/x"; }, uninstall("Invalid resource path.")},
        // Wrongly typed values raise as the platform's accessors do.
        {"a To that is no string", [](pf::Value& b) { installEntry(b)["To"] = 7; }, install("")},
        {"Resources that are no array", [](pf::Value& b) { b.dictionary().at("Install").dictionary()["Resources"] = "x"; },
         whole("")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pf::Value dictionary = bom({vt::bomEntry("source", "/opt/x", "644", "", "", false)}, {vt::bomRemoval("/opt/x")});
        ASSERT_TRUE(VDInstallBOM::BOMWithDictionary(dictionary, root)) << "the unchanged BOM must build";
        c.change(dictionary);
        vt::LogCapture log;
        EXPECT_FALSE(VDInstallBOM::BOMWithDictionary(dictionary, root));
        for (const auto& fragment : c.logged)
            EXPECT_TRUE(log.contains(fragment)) << fragment << " not in:\n" << testing::PrintToString(log.lines());
    }
}

} // namespace
} // namespace vti
