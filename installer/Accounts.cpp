#include "installer/Accounts.h"

#include "platform/system/Membership.h"

std::uint32_t VDUserIdForName(const std::string& name) {
    return pf::userIdForName(name).value_or(kVDUnknownAccountId);
}

std::uint32_t VDGroupIdForName(const std::string& name) {
    return pf::groupIdForName(name).value_or(kVDUnknownAccountId);
}

std::optional<std::string> VDHomeDirectoryForUid(std::uint32_t uid) { return pf::homeDirectoryForUid(uid); }
