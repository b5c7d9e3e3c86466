#include "platform/system/SingleUser.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace pf {

bool isSingleUserMode() {
    if (const char* forced = std::getenv("VICAR_SINGLE_USER"); forced && *forced) return forced[0] == '1';
    std::ifstream cmdline("/proc/cmdline");
    std::string word;
    while (cmdline >> word) {
        if (word == "single" || word == "S" || word == "1" || word == "emergency" || word == "rescue" ||
            word == "systemd.unit=rescue.target" || word == "systemd.unit=emergency.target")
            return true;
    }
    return false;
}

} // namespace pf
