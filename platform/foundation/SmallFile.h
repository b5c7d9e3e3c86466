#pragma once
// The whole of a small regular file, read through one descriptor that never
// follows a symlink (nor blocks on a fifo put in its place).
#include <cstddef>
#include <optional>
#include <string>

namespace pf {

// nullopt when the file is missing, no regular file, unreadable, or longer
// than maxBytes (also when it grew past that while being read).
std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t maxBytes);

} // namespace pf
