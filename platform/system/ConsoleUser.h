#pragma once
// The user logged in at the console: the active session of seat0 as
// systemd-logind records it under /run/systemd/seats. VICAR_CONSOLE_UID (a
// number, or "none") decides instead, for tests and machines without logind.
#include <sys/types.h>

#include <optional>

namespace pf {

std::optional<uid_t> consoleUser();

} // namespace pf
