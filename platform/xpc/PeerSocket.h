#pragma once
// The other end of a connected Unix-domain socket, as the kernel's socket
// diagnostics name it: the inode by which the peer process holds its end
// (what /proc/<pid>/fd/<n> shows as "socket:[inode]").
#include <sys/types.h>

namespace pf::xpc::detail {

// 0 when the kernel does not tell (the peer end is gone, no diagnostics).
ino_t peerSocketInode(int socketFd);

} // namespace pf::xpc::detail
