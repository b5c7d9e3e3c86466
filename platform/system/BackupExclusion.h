#pragma once
// Backup exclusion of a folder. Linux backup tools (tar --exclude-caches,
// Borg, restic) skip a folder that holds a CACHEDIR.TAG file starting with
// the cache-directory signature, so that file is the exclusion mark. Only
// folders can carry it; a folder is reached without following a symlink.
#include <string>

namespace pf {

bool isBackupExcluded(const std::string& directory);
// Writes the tag (owned like the folder) when it is missing; false when the
// folder cannot be opened or the tag not written.
bool setBackupExcluded(const std::string& directory);

} // namespace pf
