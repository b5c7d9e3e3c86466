#pragma once
// Users and groups as the BOM names them. A name the membership service does
// not know is no failure: the installer then uses id 99, as its BOM format says.
#include <cstdint>
#include <optional>
#include <string>

inline constexpr std::uint32_t kVDUnknownAccountId = 99;

std::uint32_t VDUserIdForName(const std::string& name);
std::uint32_t VDGroupIdForName(const std::string& name);
// The account's home folder, or nullopt when it has none.
std::optional<std::string> VDHomeDirectoryForUid(std::uint32_t uid);
