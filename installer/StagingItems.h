#pragma once
// The temporary items a staged copy makes in a target's folder, and the
// removal of those an earlier run left (a daemon killed while copying).
// A staging item is named ".vicar-" and 16 hexadecimal digits, is owned by
// the installing user, and its top item stays locked (flock) by its maker
// for as long as the maker lives: one whose lock can be taken is stale.
#include <string>

std::string VDNewStagingName();

// Takes the staging lock on an item just made under a new name; false when
// a sweep holds it already (the sweep then removes the item: pick another name).
bool VDClaimStagingItem(int itemFd);

// Removes every stale staging item in the folder; what cannot be listed,
// opened or locked is left alone (the copy goes on all the same).
void VDRemoveStaleStagingItems(int folderFd);
