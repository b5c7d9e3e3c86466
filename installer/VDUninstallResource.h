#pragma once
// One uninstall entry of a BOM: an absolute path to remove, and whether a
// forced clean before an install leaves it alone. Made by
// VDInstallResource::uninstallResourceWithDictionary.
#include "platform/foundation/URL.h"

class VDUninstallResource {
public:
    explicit VDUninstallResource(pf::URL path, bool ignoreForcedClean = false)
        : ignoreForcedClean_(ignoreForcedClean), path_(std::move(path)) {}

    bool ignoreForcedClean() const { return ignoreForcedClean_; }
    void setIgnoreForcedClean(bool value) { ignoreForcedClean_ = value; }
    const pf::URL& path() const { return path_; }
    void setPath(pf::URL path) { path_ = std::move(path); }

private:
    bool ignoreForcedClean_;
    pf::URL path_;
};
