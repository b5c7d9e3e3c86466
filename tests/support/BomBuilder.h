#pragma once
// BOM dictionaries for the tests, written as a packager would.
#include <string>

#include "platform/foundation/Value.h"

namespace vt {

// One install entry; an empty `from` makes a directory entry.
inline pf::Value bomEntry(const std::string& from, const std::string& to, const std::string& mask,
                          const std::string& user = "", const std::string& group = "", bool csv = true) {
    pf::Dictionary e{{"CSV", csv}, {"To", to}, {"User", user}, {"Group", group}, {"Mask", mask}};
    if (!from.empty()) e["From"] = pf::Value(from);
    return e;
}

// One uninstall entry.
inline pf::Value bomRemoval(const std::string& path, bool ignoreForced = false) {
    return pf::Dictionary{{"Path", path}, {"IgnoreForced", ignoreForced}};
}

// The whole BOM; installExtras are further keys of "Install" ("ForceClean",
// "DefaultLocation").
inline pf::Value bom(pf::Array install, pf::Array uninstall, pf::Dictionary installExtras = {}) {
    installExtras["Resources"] = std::move(install);
    return pf::Dictionary{{"Install", std::move(installExtras)},
                          {"Uninstall", pf::Dictionary{{"Resources", std::move(uninstall)}}}};
}

} // namespace vt
