#include <sys/capability.h>
#include <sys/prctl.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "support/confinement/Confinement.h"

namespace vd::confinement {
namespace {

// Owners and modes of what it installs, and reading and writing any file;
// and, for the checks of a signed peer of another uid, reading its /proc
// entries (environment, descriptors, executable): CAP_SYS_PTRACE, which the
// system-call filter limits to exactly that (no ptrace, no process_vm_*).
constexpr std::array<cap_value_t, 6> kKept = {CAP_CHOWN,  CAP_FOWNER,    CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH,
                                              CAP_FSETID, CAP_SYS_PTRACE};

bool kept(cap_value_t cap) {
    for (cap_value_t k : kKept)
        if (k == cap) return true;
    return false;
}

std::string failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

using CapState = std::unique_ptr<std::remove_pointer_t<cap_t>, int (*)(void*)>;

} // namespace

std::string dropCapabilities() {
    CapState current(cap_get_proc(), cap_free);
    if (!current) return failure("cap_get_proc");
    cap_flag_value_t setpcap = CAP_CLEAR;
    cap_get_flag(current.get(), CAP_SETPCAP, CAP_EFFECTIVE, &setpcap);
    // Without CAP_SETPCAP (a daemon of a user's own domain) the bounding set
    // cannot shrink; nothing gains capabilities here anyway, since execve is
    // refused and no-new-privileges follows.
    if (setpcap == CAP_SET) {
        for (cap_value_t cap = 0; cap < static_cast<cap_value_t>(cap_max_bits()); ++cap)
            if (!kept(cap) && cap_drop_bound(cap) != 0) return failure("cap_drop_bound");
        if (cap_reset_ambient() != 0 && errno != EINVAL) return failure("cap_reset_ambient");
    }
    CapState wanted(cap_init(), cap_free);
    if (!wanted) return failure("cap_init");
    for (cap_value_t cap : kKept) {
        cap_flag_value_t held = CAP_CLEAR;
        cap_get_flag(current.get(), cap, CAP_PERMITTED, &held);
        if (held != CAP_SET) continue;
        if (cap_set_flag(wanted.get(), CAP_PERMITTED, 1, &cap, CAP_SET) != 0 ||
            cap_set_flag(wanted.get(), CAP_EFFECTIVE, 1, &cap, CAP_SET) != 0)
            return failure("cap_set_flag");
    }
    if (cap_set_proc(wanted.get()) != 0) return failure("cap_set_proc");
    return {};
}

} // namespace vd::confinement
