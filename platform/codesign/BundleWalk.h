#pragma once
// A walk over every item of a bundle, descriptor-relative and never through
// a symlink, skipping the signature folder. Folders come before their
// content, names in byte order.
#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/codesign/CodeSignature.h"

namespace pf::codesign {

struct BundleItem {
    const std::string& path; // relative to the bundle's root
    SealedManifest::Entry::Kind kind;
    mode_t mode;             // permission bits (07777)
    int fd;                  // File: open for reading at offset 0; otherwise -1
    std::string linkTarget;  // Link: the symlink's text
    off_t size = 0;          // File: its size when opened
};

// Returns false to stop the walk, with the reason in *why.
using BundleVisitor = std::function<bool(const BundleItem& item, std::string* why)>;

// False with the reason when the bundle holds an item that is no file,
// folder or symlink, a name that cannot be sealed, too many items, too deep
// folders, or when the visitor stops the walk.
bool walkBundle(int bundleFd, const BundleVisitor& visit, std::string* why);

} // namespace pf::codesign
