#pragma once
// The Application Support folders on Linux: shared (local domain)
// $VICAR_SHARED_SUPPORT_DIR or /var/lib; per-user $VICAR_USER_SUPPORT_DIR,
// else $XDG_DATA_HOME, else <home of the effective user>/.local/share.
#include <optional>
#include <string>

namespace pf {

std::optional<std::string> applicationSupportDirectory(bool shared);

} // namespace pf
