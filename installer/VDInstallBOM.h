#pragma once
// The install bill of materials: the "BOM" "plist" resource of a bundle,
// read and turned into the ordered install and uninstall resources plus two
// install-wide settings. A BOM object is complete or absent: every
// constructor returns an object whose every entry parsed, or nullptr (the
// reason is logged, "Exception @ 170: ..." and the entry's own line).
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

class VDInstallResource;
class VDUninstallResource;

class VDInstallBOM {
public:
    // Takes one element of "Install"/"Resources", unchanged from the file, and
    // returns the dictionary handed to the install-entry parser.
    using InstallResourceFilter = std::function<pf::Value(const pf::Value& entry)>;
    static pf::Value identityFilter(const pf::Value& entry);
    // An entry with a "CSV" value comes back with "CSV" false and "__INA__"
    // true: such a BOM tells what a bundle would install, never installs it.
    static pf::Value informationFilter(const pf::Value& entry);

    // The bundle's top-level, non-localised "BOM.plist", or nullopt.
    static std::optional<pf::URL> BOMURLForBundle(const pf::Bundle& bundle);
    // The BOM file's top-level value (not type-checked), or nullopt when there
    // is no file, it is a symlink, cannot be read or does not parse.
    static std::optional<pf::Value> BOMDictionaryWithBundle(const pf::Bundle& bundle);
    static std::shared_ptr<VDInstallBOM> BOMWithBundle(const pf::Bundle& bundle);
    static std::shared_ptr<VDInstallBOM> BOMInfoWithBundle(const pf::Bundle& bundle);
    // A null dictionary stands for "no BOM dictionary at all".
    static std::shared_ptr<VDInstallBOM> BOMWithDictionary(const pf::Value& dictionary, const pf::URL& resourceRoot);
    static std::shared_ptr<VDInstallBOM> BOMWithDictionary(const pf::Value& dictionary, const pf::URL& resourceRoot,
                                                           const InstallResourceFilter& filter);

    const std::vector<std::shared_ptr<VDInstallResource>>& installResources() const { return installResources_; }
    void setInstallResources(std::vector<std::shared_ptr<VDInstallResource>> r) { installResources_ = std::move(r); }
    const std::vector<std::shared_ptr<VDUninstallResource>>& uninstallResources() const { return uninstallResources_; }
    void setUninstallResources(std::vector<std::shared_ptr<VDUninstallResource>> r) { uninstallResources_ = std::move(r); }
    const std::optional<pf::URL>& defaultLocation() const { return defaultLocation_; }
    void setDefaultLocation(std::optional<pf::URL> url) { defaultLocation_ = std::move(url); }
    bool forceCleanInstall() const { return forceCleanInstall_; }
    void setForceCleanInstall(bool value) { forceCleanInstall_ = value; }

private:
    std::vector<std::shared_ptr<VDInstallResource>> installResources_;
    std::vector<std::shared_ptr<VDUninstallResource>> uninstallResources_;
    std::optional<pf::URL> defaultLocation_;
    bool forceCleanInstall_ = false;
};
