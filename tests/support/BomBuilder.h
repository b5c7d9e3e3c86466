#pragma once
// BOM dictionaries for the tests, written as a packager would.
#include <string>

#include "platform/foundation/Value.h"

namespace vt {

// One install entry; an empty `from` makes a directory entry.
inline pf::Value bomEntry(const std::string& from, const std::string& to, const std::string& mask,
                          const std::string& user = "", const std::string& group = "", bool csv = true) {
    pf::Dictionary e;
    e["CSV"] = pf::Value(csv);
    e["To"] = pf::Value(to);
    e["User"] = pf::Value(user);
    e["Group"] = pf::Value(group);
    e["Mask"] = pf::Value(mask);
    if (!from.empty()) e["From"] = pf::Value(from);
    return pf::Value(std::move(e));
}

// One uninstall entry.
inline pf::Value bomRemoval(const std::string& path, bool ignoreForced = false) {
    pf::Dictionary e;
    e["Path"] = pf::Value(path);
    e["IgnoreForced"] = pf::Value(ignoreForced);
    return pf::Value(std::move(e));
}

// The whole BOM; installExtras are further keys of "Install" ("ForceClean",
// "DefaultLocation").
inline pf::Value bom(pf::Array install, pf::Array uninstall, pf::Dictionary installExtras = {}) {
    pf::Dictionary in = std::move(installExtras), out, all;
    in["Resources"] = pf::Value(std::move(install));
    out["Resources"] = pf::Value(std::move(uninstall));
    all["Install"] = pf::Value(std::move(in));
    all["Uninstall"] = pf::Value(std::move(out));
    return pf::Value(std::move(all));
}

} // namespace vt
