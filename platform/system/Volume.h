#pragma once
// The volume (mount point) that holds a path: the highest ancestor on the
// same device. The final component is not followed when it is a symlink.
#include <optional>
#include <string>

namespace pf {

std::optional<std::string> volumeOfPath(const std::string& path);

} // namespace pf
