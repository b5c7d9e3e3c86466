#pragma once
// The folder that holds an item of a signed bundle, reached the way the
// item's path reads: through the bundle's own folder symlinks (a
// "Versions/Current" link), but only those whose text the seal holds, and
// never out of the bundle (no absolute link text, no ".." above its root).
// Each component is opened relative to the descriptor of the one before,
// without following anything by name, and at most kVDMaxFollowedLinks links
// are followed. The item's own last component is not resolved: whoever opens
// it decides about a final symlink.
#include <string>

#include "platform/system/UniqueFd.h"

class VDBundleSeal;

inline constexpr int kVDMaxFollowedLinks = 40;

struct VDBundleParent {
    pf::UniqueFd folder;
    std::string folderPath; // relative to the bundle's root, links resolved; "" for the root
    std::string leaf;       // the item's name in that folder
    int error = 0;          // EXDEV: a link leads out of the bundle; EPERM: a link the seal does not hold

    // The item's path as the seal names it.
    std::string itemPath() const { return folderPath.empty() ? leaf : folderPath + "/" + leaf; }
};

// `itemPath` is relative to the bundle's root and standardised (no "." or ".." of its own).
VDBundleParent VDOpenParentInBundle(int bundleFd, const std::string& itemPath, const VDBundleSeal& seal);
