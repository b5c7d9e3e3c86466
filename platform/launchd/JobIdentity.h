#pragma once
// Which user and group a job runs as: "UserName" and "GroupName" looked up
// in the user and group databases. A job that names neither runs as its
// starter. "wheel", the super-user's group on the system the job
// descriptions come from, is gid 0 where no group of that name exists.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/launchd/JobDescription.h"

namespace pf::launchd {

struct JobIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    // Set when the job's user differs from the starter's effective user: the
    // child calls setgroups(groups), setgid(gid), setuid(uid).
    bool switchUser = false;
    // Set when only the group differs: the child calls setgid(gid).
    bool switchGroup = false;
    std::vector<gid_t> groups; // the user's groups, when switchUser
};

// nullopt with the reason in *why when a named user or group does not exist.
std::optional<JobIdentity> resolveJobIdentity(const JobDescription& job, std::string* why);

} // namespace pf::launchd
