#pragma once
// The two job domains and where their job descriptions live.
//
// System domain: $VICAR_SYSTEM_JOBS_DIR, else /etc/vicar/jobs.
// User domain: $VICAR_USER_JOBS_DIR, else $XDG_CONFIG_HOME/vicar/jobs, else
// ~/.config/vicar/jobs of the real user (home folder from the user database).
// A job labelled LABEL is described by the property list LABEL.plist there.
#include <string>

namespace pf::launchd {

enum class Domain { System, User };

// The domain a process looks its own job up in: real uid 0 is the system
// domain, every other user has its own.
Domain domainForCurrentProcess();

std::string jobsDirectory(Domain domain);

} // namespace pf::launchd
