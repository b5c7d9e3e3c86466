#pragma once
// Bytes with port rights (send or receive ends) beside them, over a
// SOCK_SEQPACKET socket: the one place where descriptors cross processes.
// Received descriptors are close-on-exec and owned at once; a message with
// more than kMaxRightsPerMessage of them, other control data, a truncation,
// or a descriptor that is not a port's end is refused (and its descriptors
// closed).
#include <sys/types.h>

#include <cstddef>
#include <span>
#include <vector>

#include "platform/system/UniqueFd.h"

namespace pf::mach {

// A port message carries at most one; a check-in answer two.
inline constexpr std::size_t kMaxRightsPerMessage = 2;

// sendmsg without waiting: the bytes sent or a negative errno.
ssize_t sendWithRights(int fd, const void* bytes, std::size_t size, std::span<const int> rights);

enum class Received { Message, NothingWaiting, Refused, Closed };
// One message into buffer; *size is set to its length.
Received receiveWithRights(int fd, void* buffer, std::size_t capacity, std::size_t* size,
                           std::vector<UniqueFd>* rights);

// An exact-size message with its rights (the bootstrap answer); false otherwise.
bool receiveWithRights(int fd, void* bytes, std::size_t size, std::vector<UniqueFd>* rights);

} // namespace pf::mach
