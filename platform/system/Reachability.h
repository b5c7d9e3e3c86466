#pragma once
// Whether a host could be reached, answered from the local routing table
// without sending a packet: each address of the host is "connected" with a
// UDP socket, which only asks the kernel for a route. "localhost" and names
// under ".localhost" are the loopback addresses and need no resolver; other
// names are resolved with getaddrinfo. There is no dial-on-demand or VPN on
// demand here, so a reachable host never requires a connection.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pf {

enum ReachabilityFlags : std::uint32_t {
    kReachabilityTransientConnection = 1u << 0,
    kReachabilityReachable = 1u << 1,
    kReachabilityConnectionRequired = 1u << 2,
    kReachabilityConnectionOnTraffic = 1u << 3,
    kReachabilityInterventionRequired = 1u << 4,
    kReachabilityConnectionOnDemand = 1u << 5,
};

class Reachability {
public:
    // nullopt for an empty name or one with a NUL or over 253 bytes.
    static std::optional<Reachability> withName(std::string_view hostName);
    // nullopt when the flags cannot be read (resolution failed for a reason
    // other than the name being unknown).
    std::optional<std::uint32_t> flags() const;

private:
    explicit Reachability(std::string name) : name_(std::move(name)) {}
    std::string name_;
};

} // namespace pf
