#pragma once
// The bootstrap protocol: a process checks in a Mach service name its job
// declares (and gets the port's receive right) or looks a name up (and gets
// a send right). The server is reached at $VICAR_MACH_BOOTSTRAP, which the
// service manager sets for its jobs, else at "mach-bootstrap.sock" in the
// system domain's service folder.
//
// Wire: one request per connection of a SOCK_SEQPACKET socket: one byte, 'c'
// (check in) or 'l' (look up), then the name. One answer: a 32-bit status
// (0 or an errno value) and, on success, the rights as descriptors: the
// receive end and the send end for a check-in, the send end for a look-up.
// Anything else in an answer is refused.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/mach/Port.h"
#include "platform/xpc/ServiceSocket.h"

namespace pf::mach {

inline constexpr const char* kBootstrapEnvironmentKey = "VICAR_MACH_BOOTSTRAP";
inline constexpr std::size_t kMaxServiceNameBytes = 200;
inline constexpr char kCheckInRequest = 'c';
inline constexpr char kLookUpRequest = 'l';

// The server's socket path in the domain's service folder (or the
// environment's, when it names one); empty (reason in *why) when there is
// none to trust.
std::string bootstrapSocketPath(xpc::Domain domain, std::string* why);

// 0 with *port set, or an errno value: ENOENT (unknown name), EPERM (not
// allowed), ECONNREFUSED (no server), EPROTO (a malformed answer), ETIMEDOUT.
int bootstrapCheckIn(std::string_view name, std::shared_ptr<Port>* port);
int bootstrapLookUp(std::string_view name, std::shared_ptr<Port>* port);

} // namespace pf::mach
