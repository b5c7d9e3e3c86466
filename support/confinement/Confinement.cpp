#include "support/confinement/Confinement.h"

#include <cstdlib>
#include <cstring>

namespace vd::confinement {

bool disabledByEnvironment() {
    const char* value = std::getenv(kDisableVariable);
    return value && std::strcmp(value, "1") == 0;
}

std::string confineSelf() {
    if (disabledByEnvironment()) return {};
    if (auto error = dropCapabilities(); !error.empty()) return "capabilities: " + error;
    if (auto error = installSyscallFilter(); !error.empty()) return "system-call filter: " + error;
    return {};
}

} // namespace vd::confinement
