#pragma once
// The daemon's own confinement, applied once at start-up before it reads a
// byte from any client: a root process whose decoders take hostile input
// keeps only what an installer needs, whether systemd, the launcher or a
// person started it.
#include <string>

namespace vd::confinement {

// VICAR_NO_CONFINEMENT=1 in the environment turns all of it off (for
// debugging under strace or gdb, which it would refuse).
constexpr const char* kDisableVariable = "VICAR_NO_CONFINEMENT";
bool disabledByEnvironment();

// Keeps CAP_CHOWN, CAP_FOWNER, CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH,
// CAP_FSETID, and for peer checks CAP_SYS_PTRACE (as far as the
// process holds them) in the effective and
// permitted sets, clears the inheritable and ambient sets and, when the
// process may, every other capability of the bounding set. Returns an error
// text, empty on success.
std::string dropCapabilities();

// Sets no-new-privileges and installs the system-call filter on every
// thread: what the daemon calls is allowed, everything else fails with
// EPERM. Returns an error text, empty on success.
std::string installSyscallFilter();

// Both, unless disabledByEnvironment(). Empty on success.
std::string confineSelf();

} // namespace vd::confinement
