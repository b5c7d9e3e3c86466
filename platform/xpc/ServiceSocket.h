#pragma once
// Where the services of a domain live and how their listening sockets are
// made: shared by the XPC listener (which binds its own socket when started
// by hand) and by the service manager (which binds it and hands it over by
// socket activation).
//
// System domain: $VICAR_SYSTEM_SERVICE_DIR or /run/vicar/services; the folder
// must be owned by root and writable by root alone, and is never reached
// through a symlink. User domain: $VICAR_USER_SERVICE_DIR or
// $XDG_RUNTIME_DIR/vicar/services (else /run/user/<uid>/vicar/services),
// owned by the user, mode 0700. The socket of service NAME is NAME.sock.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace pf::xpc {

enum class Domain { System, User };

// The folder's path, created (with its missing parents) when absent; nullopt
// with the reason in *why when it is unsafe or cannot be made.
std::optional<std::string> serviceDirectory(Domain domain, std::string* why);

// A socket file as it was right after it was bound. It is removed only while
// its name still leads to that file: another process may have bound the name
// since, and its socket stays.
struct SocketFile {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};
void removeSocketFile(const SocketFile& file);

// A listening socket (SOCK_STREAM, close-on-exec, non-blocking) bound at the
// service's path (a stale socket file is replaced). System-domain sockets are
// world-connectable: peers are admitted by their kernel credentials.
// Returns the descriptor, or -1 with the reason in *why; *bound (when given)
// receives the socket file it made.
int bindServiceSocket(std::string_view serviceName, Domain domain, std::string* why,
                      std::optional<SocketFile>* bound = nullptr);

// The socket handed over by socket activation (LISTEN_PID equal to our pid,
// LISTEN_FDS >= 1; with LISTEN_FDNAMES the one named after the service, else
// the first, fd 3). Made close-on-exec; the LISTEN_* variables are removed
// from the environment. -1 when none.
int takeActivatedSocket(std::string_view serviceName);

} // namespace pf::xpc
