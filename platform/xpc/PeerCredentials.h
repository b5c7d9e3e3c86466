#pragma once
// Who is at the other end of a connected Unix-domain socket, as the kernel
// recorded it when the connection was made (SO_PEERCRED, SO_PEERGROUPS,
// SO_PEERPIDFD). Nothing a peer sends is ever taken as its identity.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace pf::xpc {

struct PeerCredentials {
    uid_t euid = static_cast<uid_t>(-1);
    gid_t egid = static_cast<gid_t>(-1);
    pid_t pid = 0;
    // Supplementary groups (may be empty when the kernel cannot tell).
    std::vector<gid_t> groups;
    // A pidfd of the peer process, or -1. Owned by the connection the
    // credentials belong to and valid while it lives: dup it to keep it.
    // It refers to the process that made the connection, never to a later
    // process that reuses its pid.
    int pidfd = -1;
    // For a peer a listener accepted: the inode of the socket by which the
    // peer process holds its end of the connection; 0 when unknown.
    ino_t socketInode = 0;

    bool isMember(gid_t gid) const;
};

// Reads the credentials of the socket's peer. On success the new pidfd (or -1
// when none could be had) is stored in *pidfdOwned for the caller to close.
// nullopt with the reason in *why when the kernel gave no credentials.
std::optional<PeerCredentials> readPeerCredentials(int socketFd, int* pidfdOwned, std::string* why);

} // namespace pf::xpc
