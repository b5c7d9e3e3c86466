#pragma once
// The account database: user and group names to ids and back, home folders.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace pf {

std::optional<uid_t> userIdForName(std::string_view name);
std::optional<gid_t> groupIdForName(std::string_view name);
std::optional<std::string> userNameForUid(uid_t uid);
std::optional<std::string> homeDirectoryForUid(uid_t uid);

} // namespace pf
