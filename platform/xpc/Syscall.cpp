#include "platform/xpc/Syscall.h"

#include <cstring>

namespace pf::xpc::sys {

std::string errorText(std::string_view what, int err) {
    char buffer[128];
    // The GNU strerror_r returns the text (which may not be in buffer).
    const char* text = ::strerror_r(err, buffer, sizeof buffer);
    return std::string(what) + ": " + text;
}

} // namespace pf::xpc::sys
