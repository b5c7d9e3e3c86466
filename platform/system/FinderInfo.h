#pragma once
// The 16-byte Finder information of an item, kept in the extended attribute
// "user.vicar.FinderInfo" (the platform keeps it in the catalog). Bytes 8-9
// are the Finder-flags word, big-endian; bit 0x0400 marks a custom icon. An
// item without the attribute has all-zero information. Symlinks are not
// followed: the item is opened by the caller and passed as a descriptor.
#include <array>
#include <cstdint>
#include <optional>

namespace pf {

using FinderInfo = std::array<std::uint8_t, 16>;
inline constexpr std::uint16_t kFinderFlagHasCustomIcon = 0x0400;

// 0 and the information, or an errno (never ENODATA).
int readFinderInfo(int fd, FinderInfo& info);
int writeFinderInfo(int fd, const FinderInfo& info);

std::uint16_t finderFlags(const FinderInfo& info);
void setFinderFlags(FinderInfo& info, std::uint16_t flags);

} // namespace pf
