#pragma once
// The directory every target of one install or uninstall lies in: the
// install root, or "/" without one. It is held open as a descriptor and every
// target is resolved from it with openat2(RESOLVE_IN_ROOT |
// RESOLVE_NO_MAGICLINKS): an absolute symlink or a ".." met on the way is
// taken relative to the root, so no symlink planted anywhere below it can lead
// a write, an ownership or a mode change outside it. Only the final component
// of a target is acted on by name, through the descriptor of its folder,
// never following a symlink.
//
// Paths given here are absolute destination paths (as the BOM names them);
// they are standardised first, so "." and ".." never reach the file system.
#include <string>

#include "platform/system/UniqueFd.h"

class InstallRootTree {
public:
    // The root's own path is used as given (it is the requester's choice).
    explicit InstallRootTree(std::string rootPath);

    struct Parent {
        pf::UniqueFd folder;  // the folder holding the target, resolved in the root
        std::string leaf; // the target's name in it; empty for the root itself
        int error = 0;
    };
    Parent parentOf(const std::string& destinationPath);

    // 0 when something is reachable at the path (a final symlink is followed,
    // within the root), else the errno.
    int exists(const std::string& destinationPath);
    // Creates the directory with every missing intermediate (the root
    // included), default attributes; 0 or the errno.
    int makeDirectories(const std::string& destinationPath);
    // Removes the item recursively without following any symlink; 0, ENOENT
    // when there was none, or the errno. The root itself is never removed (EBUSY).
    int remove(const std::string& destinationPath);

private:
    int openRoot(bool create);

    std::string rootPath_;
    pf::UniqueFd root_;
};
