#include "platform/system/Reachability.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

#include "platform/system/UniqueFd.h"

namespace pf {

namespace {

constexpr std::size_t kMaxHostNameBytes = 253;

bool isLocalhostName(std::string_view name) {
    auto lower = [](std::string_view s) {
        std::string out(s);
        for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return out;
    };
    const std::string host = lower(name.ends_with('.') ? name.substr(0, name.size() - 1) : name);
    return host == "localhost" || host.ends_with(".localhost");
}

bool hasRoute(const sockaddr* address, socklen_t length) {
    UniqueFd fd(::socket(address->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return fd && ::connect(fd.get(), address, length) == 0;
}

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

} // namespace

std::optional<Reachability> Reachability::withName(std::string_view hostName) {
    if (hostName.empty() || hostName.size() > kMaxHostNameBytes || hostName.find('\0') != std::string_view::npos)
        return std::nullopt;
    // A URL's host may carry IPv6 brackets.
    if (hostName.size() > 2 && hostName.front() == '[' && hostName.back() == ']')
        hostName = hostName.substr(1, hostName.size() - 2);
    return Reachability(std::string(hostName));
}

std::optional<std::uint32_t> Reachability::flags() const {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int rc;
    if (isLocalhostName(name_)) {
        hints.ai_flags = AI_NUMERICHOST;
        rc = ::getaddrinfo("127.0.0.1", "9", &hints, &found);
    } else {
        hints.ai_flags = AI_NUMERICSERV;
        rc = ::getaddrinfo(name_.c_str(), "9", &hints, &found);
    }
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
    if (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL) return 0u;
    if (rc != 0) return std::nullopt;
    for (const addrinfo* a = list.get(); a; a = a->ai_next)
        if (hasRoute(a->ai_addr, a->ai_addrlen)) return static_cast<std::uint32_t>(kReachabilityReachable);
    return 0u;
}

} // namespace pf
