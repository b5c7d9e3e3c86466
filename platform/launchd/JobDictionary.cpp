#include <unistd.h>

#include "platform/launchd/JobDescription.h"
#include "platform/launchd/JobFile.h"

namespace pf::launchd {

std::optional<pf::Value> copyJobDictionary(std::string_view label, Domain domain) {
    if (!detail::isValidLabel(label)) return std::nullopt;
    std::string why;
    const uid_t owner = domain == Domain::System ? 0 : ::getuid();
    auto folder = detail::JobsFolder::open(jobsDirectory(domain), owner, &why);
    if (!folder) return std::nullopt;
    auto job = folder->read(std::string(label) + ".plist", &why);
    if (!job || !job->isDictionary()) return std::nullopt;
    return job;
}

} // namespace pf::launchd
