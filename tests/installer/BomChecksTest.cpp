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
constexpr const char* kInstallEntry = "Exception @ 364: ";
constexpr const char* kUninstallEntry = "Exception @ 393: ";
constexpr const char* kWholeBom = "Exception @ 170: ";

pf::Dictionary& installEntry(pf::Value& bom) {
    return bom.dictionary().at("Install").dictionary().at("Resources").array().at(0).dictionary();
}
pf::Dictionary& uninstallEntry(pf::Value& bom) {
    return bom.dictionary().at("Uninstall").dictionary().at("Resources").array().at(0).dictionary();
}

TEST(BomChecks, EachFailingCheckIsLoggedAndNoBomIsBuilt) {
    vt::TempDir folder("vicar-bom");
    vt::writeFile(folder / "source", "unsigned bytes");
    const auto root = pf::URL::fileURLWithPath(folder.path(), true);
    ASSERT_TRUE(root);

    struct Case {
        const char* name;
        std::function<void(pf::Value&)> change;
        std::vector<std::string> logged; // fragments, in order
    };
    const std::vector<Case> cases = {
        {"no dictionary", [](pf::Value& b) { b = pf::Value(); }, {std::string(kWholeBom) + "nil @ 132!"}},
        {"no Install", [](pf::Value& b) { b.dictionary().erase("Install"); }, {std::string(kWholeBom) + "nil @ 132!"}},
        {"no install Resources", [](pf::Value& b) { b.dictionary().at("Install").dictionary().erase("Resources"); },
         {std::string(kWholeBom) + "nil @ 145!"}},
        {"no CSV", [](pf::Value& b) { installEntry(b).erase("CSV"); },
         {std::string(kInstallEntry) + "nil @ 317!", std::string(kWholeBom) + "nil @ 150!"}},
        {"a checked source outside any signed bundle", [](pf::Value& b) { installEntry(b)["CSV"] = true; },
         {std::string(kInstallEntry) + "Bad resource.", std::string(kWholeBom) + "nil @ 150!"}},
        {"no To", [](pf::Value& b) { installEntry(b).erase("To"); },
         {std::string(kInstallEntry) + "nil @ 338!", std::string(kWholeBom) + "nil @ 150!"}},
        {"a relative To", [](pf::Value& b) { installEntry(b)["To"] = "opt/x"; },
         {std::string(kInstallEntry) + "Invalid resource destination.", std::string(kWholeBom) + "nil @ 150!"}},
        {"no User", [](pf::Value& b) { installEntry(b).erase("User"); },
         {std::string(kInstallEntry) + "nil @ 351!", std::string(kWholeBom) + "nil @ 150!"}},
        {"no Group", [](pf::Value& b) { installEntry(b).erase("Group"); },
         {std::string(kInstallEntry) + "nil @ 355!", std::string(kWholeBom) + "nil @ 150!"}},
        {"no Mask", [](pf::Value& b) { installEntry(b).erase("Mask"); },
         {std::string(kInstallEntry) + "nil @ 359!", std::string(kWholeBom) + "nil @ 150!"}},
        {"no Uninstall", [](pf::Value& b) { b.dictionary().erase("Uninstall"); },
         {std::string(kWholeBom) + "nil @ 156!"}},
        {"no uninstall Resources", [](pf::Value& b) { b.dictionary().at("Uninstall").dictionary().erase("Resources"); },
         {std::string(kWholeBom) + "nil @ 159!"}},
        {"no Path", [](pf::Value& b) { uninstallEntry(b).erase("Path"); },
         {std::string(kUninstallEntry) + "nil @ 376!", std::string(kWholeBom) + "nil @ 164!"}},
        {"a relative Path", [](pf::Value& b) { uninstallEntry(b)["Path"] = "opt/x"; },
         {std::string(kUninstallEntry) + "Invalid resource path.", std::string(kWholeBom) + "nil @ 164!"}},
        // Wrongly typed values raise as the platform's accessors do.
        {"a To that is no string", [](pf::Value& b) { installEntry(b)["To"] = 7; }, {kInstallEntry, kWholeBom}},
        {"Resources that are no array", [](pf::Value& b) { b.dictionary().at("Install").dictionary()["Resources"] = "x"; },
         {kWholeBom}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pf::Value dictionary = bom({vt::bomEntry("source", "/opt/x", "644", "", "", false)}, {vt::bomRemoval("/opt/x")});
        ASSERT_TRUE(VDInstallBOM::BOMWithDictionary(dictionary, *root)) << "the unchanged BOM must build";
        c.change(dictionary);
        vt::LogCapture log;
        EXPECT_FALSE(VDInstallBOM::BOMWithDictionary(dictionary, *root));
        const auto lines = log.lines();
        std::size_t at = 0;
        for (const auto& fragment : c.logged) {
            while (at < lines.size() && lines[at].find(fragment) == std::string::npos) ++at;
            EXPECT_LT(at, lines.size()) << "no line with \"" << fragment << "\" (in order) in:\n"
                                        << testing::PrintToString(lines);
        }
    }
}

} // namespace
} // namespace vti
