#include "platform/mach/BootstrapServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <vector>

#include "platform/mach/Bootstrap.h"
#include "platform/mach/RightsTransfer.h"
#include "platform/xpc/PeerSocket.h"
#include "platform/xpc/Syscall.h"

namespace pf::mach {

namespace {

using Clock = std::chrono::steady_clock;

void answerWith(int fd, std::int32_t status, std::span<const int> rights = {}) {
    sendWithRights(fd, &status, sizeof status, rights); // a client that left needs no answer
}

} // namespace

std::unique_ptr<BootstrapServer> BootstrapServer::start(const std::string& path, Logger log, std::string* why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        if (why) *why = "socket path too long";
        return nullptr;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    UniqueFd listening(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!listening || !wake) {
        if (why) *why = xpc::sys::errorText("socket", errno);
        return nullptr;
    }
    // Only a socket is replaced; any other file at the path stays and fails the bind.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
    if (::bind(listening.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(listening.get(), 64) != 0) {
        if (why) *why = xpc::sys::errorText("cannot bind " + path, errno);
        return nullptr;
    }
    std::unique_ptr<BootstrapServer> server(
        new BootstrapServer(std::move(listening), std::move(wake), path, std::move(log)));
    server->thread_ = std::thread([raw = server.get()] { raw->serve(); });
    return server;
}

BootstrapServer::BootstrapServer(UniqueFd listening, UniqueFd wake, std::string path, Logger log)
    : listening_(std::move(listening)), wake_(std::move(wake)), path_(std::move(path)), log_(std::move(log)) {}

BootstrapServer::~BootstrapServer() {
    const std::uint64_t one = 1;
    if (::write(wake_.get(), &one, sizeof one) < 0) {} // the thread also ends on a full counter
    if (thread_.joinable()) thread_.join();
    ::unlink(path_.c_str());
}

std::shared_ptr<Port> BootstrapServer::declare(const std::string& name, Rule checkIn, Rule lookUp) {
    std::lock_guard lock(mutex_);
    auto& service = services_[name];
    if (!service.port) service.port = Port::create();
    service.checkIn = std::move(checkIn);
    service.lookUp = std::move(lookUp);
    return service.port;
}

void BootstrapServer::serve() {
    struct Pending {
        UniqueFd fd;
        Clock::time_point deadline;
    };
    std::vector<Pending> pending;
    for (;;) {
        std::vector<pollfd> polled{{wake_.get(), POLLIN, 0}, {listening_.get(), POLLIN, 0}};
        for (const auto& request : pending) polled.push_back({request.fd.get(), POLLIN, 0});
        // Requests are kept in arrival order, so the first one's deadline is the earliest.
        int timeoutMs = -1;
        if (!pending.empty()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(pending.front().deadline - Clock::now());
            timeoutMs = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        if (xpc::sys::retry([&] { return ::poll(polled.data(), polled.size(), timeoutMs); }) < 0) return;
        if (polled[0].revents) return;
        const auto now = Clock::now();
        std::vector<Pending> waiting;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            if (polled[i + 2].revents)
                answer(pending[i].fd.get());
            else if (pending[i].deadline > now)
                waiting.push_back(std::move(pending[i]));
        }
        pending = std::move(waiting);
        if (polled[1].revents & POLLIN) {
            UniqueFd accepted(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (accepted && pending.size() < kMaxPendingRequests)
                pending.push_back({std::move(accepted), now + kRequestTimeout});
        }
    }
}

void BootstrapServer::answer(int fd) {
    char request[1 + kMaxServiceNameBytes + 1];
    std::size_t size = 0;
    std::vector<UniqueFd> stray;
    if (receiveWithRights(fd, request, sizeof request, &size, &stray) != Received::Message || !stray.empty() ||
        size < 2 || size > 1 + kMaxServiceNameBytes)
        return answerWith(fd, EINVAL);
    const char kind = request[0];
    const std::string name(request + 1, size - 1);
    if (kind != kCheckInRequest && kind != kLookUpRequest) return answerWith(fd, EINVAL);

    int pidfd = -1;
    std::string why;
    auto credentials = xpc::readPeerCredentials(fd, &pidfd, &why);
    UniqueFd ownedPidfd(pidfd);
    if (!credentials) return answerWith(fd, EPERM);
    // Rules that ask whether the asker holds its own end need to know it.
    credentials->socketInode = xpc::detail::peerSocketInode(fd);

    std::shared_ptr<Port> port;
    std::optional<std::string> refusal;
    {
        std::lock_guard lock(mutex_);
        auto it = services_.find(name);
        if (it == services_.end() || !it->second.port) return answerWith(fd, ENOENT);
        const Rule& rule = kind == kCheckInRequest ? it->second.checkIn : it->second.lookUp;
        refusal = rule ? rule(*credentials) : std::optional<std::string>("no rule");
        port = it->second.port;
    }
    if (refusal) {
        if (log_)
            log_(std::string(kind == kCheckInRequest ? "check-in" : "look-up") + " of " + name + " by pid " +
                 std::to_string(credentials->pid) + " refused: " + *refusal);
        return answerWith(fd, EPERM);
    }
    auto sendEnd = port->sendEnd();
    auto receiveEnd = port->receiveEnd();
    if (!sendEnd || !receiveEnd) return answerWith(fd, ENOENT);
    const int rights[2] = {receiveEnd->get(), sendEnd->get()};
    if (kind == kCheckInRequest)
        answerWith(fd, 0, rights);
    else
        answerWith(fd, 0, std::span(rights + 1, 1));
}

} // namespace pf::mach
