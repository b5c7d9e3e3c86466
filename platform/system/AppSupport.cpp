#include "platform/system/AppSupport.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/system/Membership.h"

namespace pf {

std::optional<std::string> applicationSupportDirectory(bool shared) {
    if (shared) {
        if (const char* dir = std::getenv("VICAR_SHARED_SUPPORT_DIR"); dir && *dir) return std::string(dir);
        return std::string("/var/lib");
    }
    if (const char* dir = std::getenv("VICAR_USER_SUPPORT_DIR"); dir && *dir) return std::string(dir);
    // Root's $XDG_DATA_HOME may come from the user who started a tool with
    // sudo, so the effective user's own home is asked instead.
    if (const char* dir = std::getenv("XDG_DATA_HOME"); dir && *dir && ::geteuid() != 0) return std::string(dir);
    auto home = homeDirectoryForUid(::geteuid());
    if (!home) return std::nullopt;
    return *home + "/.local/share";
}

} // namespace pf
