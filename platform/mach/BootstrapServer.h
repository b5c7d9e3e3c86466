#pragma once
// The bootstrap server, as the service manager runs it: it makes the port of
// each declared Mach service and holds it (both rights), so messages sent
// before the job runs wait in the port; a check-in hands the job the
// receive right (the server keeps its own, so the port outlives the job and
// later messages wait again); a look-up hands out a send right. Each name has
// a rule for each request, judged on the kernel's credentials of the asker.
//
// Requests are answered on a thread of the server's own; a client gets
// kRequestTimeout to send its request after connecting, and at most
// kMaxPendingRequests wait at once (others are closed unanswered).
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/mach/Port.h"
#include "platform/xpc/PeerCredentials.h"

namespace pf::mach {

class BootstrapServer {
public:
    static constexpr auto kRequestTimeout = std::chrono::seconds(2);
    static constexpr std::size_t kMaxPendingRequests = 64;
    // nullopt when the asker is allowed, else why not (for the log).
    using Rule = std::function<std::optional<std::string>(const xpc::PeerCredentials&)>;
    using Logger = std::function<void(const std::string&)>;

    // Binds path (a stale socket there is replaced; world-connectable, as the
    // rules judge each asker) and starts answering. nullptr with *why.
    static std::unique_ptr<BootstrapServer> start(const std::string& path, Logger log, std::string* why);
    ~BootstrapServer();
    BootstrapServer(const BootstrapServer&) = delete;
    BootstrapServer& operator=(const BootstrapServer&) = delete;

    // The port of the name, made on first declaration; nullptr when it
    // cannot be made.
    std::shared_ptr<Port> declare(const std::string& name, Rule checkIn, Rule lookUp);

private:
    struct Service {
        std::shared_ptr<Port> port;
        Rule checkIn;
        Rule lookUp;
    };
    BootstrapServer(UniqueFd listening, UniqueFd wake, std::string path, Logger log);
    void serve();
    void answer(int fd);

    UniqueFd listening_;
    UniqueFd wake_;
    std::string path_;
    Logger log_;
    std::mutex mutex_;
    std::map<std::string, Service> services_;
    std::thread thread_;
};

} // namespace pf::mach
