#pragma once
// Bundles: a folder with an Info.plist and resources. Two layouts are read:
//   Foo.app/Contents/Info.plist, Contents/Resources/<resources>, Contents/MacOS/<executable>
//   Foo/Info.plist and resources at the top (a flat bundle)
// The main bundle is the folder of the running executable; its Info.plist is
// the one embedded in the executable (registerEmbeddedInfoPlist) when there is
// one, else an Info.plist beside the executable.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace pf {

class Bundle {
public:
    // The bundle at a directory URL, or nullptr when the URL names no directory.
    static std::shared_ptr<Bundle> bundleWithURL(const URL& url);
    static std::shared_ptr<Bundle> bundleWithPath(std::string_view path);
    static std::shared_ptr<Bundle> mainBundle();
    // Property-list bytes (XML or binary) of the executable's own Info.plist.
    // Called by a static initializer of the embedding target, before main.
    static void registerEmbeddedInfoPlist(std::string_view bytes);

    const URL& bundleURL() const { return url_; }
    std::string bundlePath() const { return url_.path(); }
    // The folder holding Info.plist: <bundle>/Contents/ or <bundle>/.
    URL contentsURL() const;
    URL resourceURL() const;
    // A top-level resource "name.ext" (subdirectory and localization as the
    // platform takes them: an empty localization means the non-localised
    // resources). nullopt when no such item exists (a symlink counts as existing).
    std::optional<URL> URLForResource(std::string_view name, std::string_view ext,
                                      std::string_view subdirectory = {},
                                      std::string_view localization = {}) const;
    std::optional<URL> executableURL() const;

    const Dictionary& infoDictionary() const { return info_; }
    const Value* objectForInfoDictionaryKey(std::string_view key) const;
    std::string bundleIdentifier() const; // empty when none

private:
    Bundle(URL url, Dictionary info, bool contents);
    URL url_;
    Dictionary info_;
    bool hasContentsFolder_;
};

} // namespace pf
