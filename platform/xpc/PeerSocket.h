#pragma once
// The other end of a connected Unix-domain socket, as the kernel's socket
// diagnostics name it: the inode by which the peer process holds its end
// (what /proc/<pid>/fd/<n> shows as "socket:[inode]").
#include <sys/types.h>

namespace pf::xpc::detail {

// 0 when the kernel does not tell (the peer end is gone, no diagnostics).
ino_t peerSocketInode(int socketFd);

// The kernel's socket diagnostics answer only for sockets of the asker's
// network namespace. A daemon put in a namespace of its own (systemd's
// PrivateNetwork) is therefore handed a diagnostics socket made in the
// service socket's namespace (ListenNetlink=sock_diag); once adopted, every
// query goes through it. Takes ownership; false when fd is not such a socket.
bool adoptDiagnosticsSocket(int fd);

} // namespace pf::xpc::detail
