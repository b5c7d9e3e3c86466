#pragma once
// Recursive removal that never follows a symlink: a link is unlinked, a
// directory is entered through a no-follow descriptor and emptied before it
// goes. Everything is relative to the descriptor of the folder holding the
// item, so nothing outside that folder's subtree is ever touched.
#include <string>

// Nesting limit: each level holds two descriptors; deeper trees fail with ELOOP.
inline constexpr int kVDMaxTreeDepth = 128;

// 0 when the item is gone; ENOENT when there was none (the caller judges);
// otherwise the errno of the call that failed. Removal stops at the first
// failure and keeps what it had not removed yet.
int VDRemoveTree(int parentFd, const std::string& name);
