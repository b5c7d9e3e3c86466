#include "platform/launchd/JobDomain.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace pf::launchd {

namespace {

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string homeOfRealUser() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found && found->pw_dir && found->pw_dir[0] == '/') return found->pw_dir;
    // A user without an entry in the database still has a home of sorts.
    return environmentValue("HOME");
}

} // namespace

Domain domainForCurrentProcess() { return ::getuid() == 0 ? Domain::System : Domain::User; }

std::string jobsDirectory(Domain domain) {
    if (domain == Domain::System) {
        std::string dir = environmentValue("VICAR_SYSTEM_JOBS_DIR");
        return dir.empty() ? "/etc/vicar/jobs" : dir;
    }
    if (std::string dir = environmentValue("VICAR_USER_JOBS_DIR"); !dir.empty()) return dir;
    if (std::string config = environmentValue("XDG_CONFIG_HOME"); !config.empty() && config[0] == '/')
        return config + "/vicar/jobs";
    return homeOfRealUser() + "/.config/vicar/jobs";
}

} // namespace pf::launchd
