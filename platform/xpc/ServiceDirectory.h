#pragma once
// The service folder of a domain, opened without following any symlink on the
// way and checked (see ServiceSocket.h for the rules), so that sockets are
// bound and reached through the descriptor ("/proc/self/fd/N/NAME.sock") and a
// folder swapped after the check cannot redirect them.
#include <string>
#include <string_view>

#include "platform/xpc/ServiceSocket.h"
#include "platform/system/UniqueFd.h"

namespace pf::xpc::detail {

// The folder's path from the environment or the default of the domain.
std::string serviceDirectoryPath(Domain domain);

// Opens (creating what is missing) and checks the folder; an empty UniqueFd
// with the reason in *why otherwise.
UniqueFd openServiceDirectory(Domain domain, std::string* path, std::string* why);

// "NAME.sock" for a valid service name ([A-Za-z0-9._-], not starting with a
// dot, at most 200 bytes), else empty.
std::string socketLeaf(std::string_view serviceName);

// The path by which the socket is bound or reached through the folder's
// descriptor; empty when it would not fit in sun_path.
std::string descriptorPath(int dirFd, const std::string& leaf);

} // namespace pf::xpc::detail
