#include "platform/mach/Bootstrap.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/mach/RightsTransfer.h"
#include "platform/xpc/ServiceSocket.h"
#include "platform/xpc/Syscall.h"

namespace pf::mach {

namespace {

constexpr int kAnswerTimeoutMs = 5000;

int request(char kind, std::string_view name, std::size_t rightsExpected, std::vector<UniqueFd>* rights) {
    if (name.empty() || name.size() > kMaxServiceNameBytes) return EINVAL;
    const std::string path = bootstrapSocketPath(xpc::Domain::System, nullptr);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return ECONNREFUSED;
    std::memcpy(address.sun_path, path.data(), path.size());
    UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!socket) return errno;
    // A server whose backlog others filled makes connect wait: at most this long.
    const timeval limit{kAnswerTimeoutMs / 1000, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const int connected = xpc::sys::retry(
        [&] { return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address); });
    if (connected == -EAGAIN) return ETIMEDOUT;
    if (connected < 0) return ECONNREFUSED;
    std::string bytes(1, kind);
    bytes.append(name);
    if (::send(socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        return ECONNREFUSED;
    pollfd p{socket.get(), POLLIN, 0};
    if (xpc::sys::retry([&] { return ::poll(&p, 1, kAnswerTimeoutMs); }) != 1) return ETIMEDOUT;
    std::int32_t status = 0;
    if (!receiveWithRights(socket.get(), &status, sizeof status, rights)) return EPROTO;
    if (status != 0) return rights->empty() && status > 0 ? status : EPROTO;
    return rights->size() == rightsExpected ? 0 : EPROTO;
}

} // namespace

std::string bootstrapSocketPath(xpc::Domain domain, std::string* why) {
    if (const char* path = std::getenv(kBootstrapEnvironmentKey); path && *path == '/') return path;
    auto folder = xpc::serviceDirectory(domain, why);
    return folder ? *folder + "/mach-bootstrap.sock" : std::string();
}

int bootstrapCheckIn(std::string_view name, std::shared_ptr<Port>* port) {
    std::vector<UniqueFd> rights;
    if (const int status = request(kCheckInRequest, name, 2, &rights)) return status;
    *port = Port::withRights(std::move(rights[0]), std::move(rights[1]));
    return *port ? 0 : EPROTO;
}

int bootstrapLookUp(std::string_view name, std::shared_ptr<Port>* port) {
    std::vector<UniqueFd> rights;
    if (const int status = request(kLookUpRequest, name, 1, &rights)) return status;
    *port = Port::withSendRight(std::move(rights[0]));
    return *port ? 0 : EPROTO;
}

} // namespace pf::mach
