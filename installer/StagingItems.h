#pragma once
// The temporary items a staged copy makes in a target's folder, and the
// removal of those an earlier run left (a daemon killed while copying).
// A staging item is named ".vicar-" and 16 hexadecimal digits, is owned by
// the installing user, and its top item stays locked (flock) by its maker
// for as long as the maker lives: one whose lock can be taken is stale.
#include <string>

std::string VDNewStagingName();

// Takes the staging lock on the item just made under `name` in the folder;
// false when a sweep got it first (and removes or removed it): pick another name.
bool VDClaimStagingItem(int folderFd, const std::string& name, int itemFd);

// Removes every stale staging item in the folder; what cannot be listed,
// opened or locked is left alone (the copy goes on all the same).
void VDRemoveStaleStagingItems(int folderFd);
