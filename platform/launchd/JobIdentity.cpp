#include "platform/launchd/JobIdentity.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>

namespace pf::launchd {

namespace {

constexpr std::size_t kMaxLookupBuffer = 1u << 20;
constexpr int kMaxGroups = 65536;

std::vector<char> lookupBuffer() {
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    return std::vector<char>(size > 0 ? static_cast<std::size_t>(size) : 16384);
}

struct User {
    uid_t uid;
    gid_t gid;
};

std::optional<User> findUser(const std::string& name) {
    auto buffer = lookupBuffer();
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < kMaxLookupBuffer)
        buffer.resize(buffer.size() * 2);
    if (!found) return std::nullopt;
    return User{found->pw_uid, found->pw_gid};
}

std::optional<gid_t> findGroup(const std::string& name) {
    auto buffer = lookupBuffer();
    group entry{};
    group* found = nullptr;
    while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < kMaxLookupBuffer)
        buffer.resize(buffer.size() * 2);
    if (found) return found->gr_gid;
    if (name == "wheel") return 0;
    return std::nullopt;
}

std::vector<gid_t> groupsOf(const std::string& user, gid_t primary) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (::getgrouplist(user.c_str(), primary, groups.data(), &count) < 0 && count <= kMaxGroups)
        groups.resize(static_cast<std::size_t>(count));
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    if (groups.empty()) groups.push_back(primary);
    return groups;
}

} // namespace

std::optional<JobIdentity> resolveJobIdentity(const JobDescription& job, std::string* why) {
    JobIdentity identity;
    identity.uid = ::geteuid();
    identity.gid = ::getegid();
    std::optional<User> user;
    if (job.userName) {
        user = findUser(*job.userName);
        if (!user) {
            *why = "unknown user \"" + *job.userName + "\"";
            return std::nullopt;
        }
    }
    std::optional<gid_t> group;
    if (job.groupName) {
        group = findGroup(*job.groupName);
        if (!group) {
            *why = "unknown group \"" + *job.groupName + "\"";
            return std::nullopt;
        }
    }
    if (user && user->uid != identity.uid) {
        identity.switchUser = true;
        identity.uid = user->uid;
        identity.gid = group.value_or(user->gid);
        identity.groups = groupsOf(*job.userName, identity.gid);
    } else if (group && *group != identity.gid) {
        identity.switchGroup = true;
        identity.gid = *group;
    }
    return identity;
}

} // namespace pf::launchd
