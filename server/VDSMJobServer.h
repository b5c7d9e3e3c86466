#pragma once
// The daemon's application class: vends one IPC service under its bundle
// identifier, dispatches each message by its type to a registered handler,
// seals and checks every envelope, removes its own executable on
// "removeSelf_", and leaves when idle for the job's "TimeOut".
//
// Idle means no message for "TimeOut" seconds and no work in flight (a
// request being handled, a completion that will answer one, a reply not yet
// written: pf::xpc::workInFlight). It then leaves as a socket-activated
// service does: it stops accepting (new clients wait in the service socket,
// whose manager starts the daemon again), reads and serves what its clients
// already sent, and exits when nothing is left; a message arriving meanwhile
// sends it back to serving.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/VDApplication.h"
#include "platform/foundation/Value.h"

class VDIPCMessage;
class VDIPCConnection;
class VDIPCConnectionXPC;
class VDClientAdmission;
namespace pf::dispatch {
class TimerSource;
}

class VDSMJobServer : public VDApplication {
public:
    using Handler = std::function<void(std::shared_ptr<VDIPCMessage>)>;

    VDSMJobServer();
    ~VDSMJobServer() override;

    // The shared application object, when it is a job server.
    static VDSMJobServer* server();

    // A null handler removes the type's entry.
    void setHandler(Handler handler, const std::string& messageType);
    // A copy of the stored handler, or an empty function.
    Handler handlerForMessageType(const std::string& messageType) const;

    const std::string& serviceName() const { return serviceName_; }
    void setServiceName(std::string name) { serviceName_ = std::move(name); }
    // The job description of serviceName in the domain of the real user id.
    std::optional<pf::Dictionary> jobDictionary() const;

    void applicationDidFinishLaunching(const void* notification) override;

    // The idle time-out T read from a job description: nullopt when the idle
    // exit is off ("TimeOut" below 2), 10 when absent.
    static std::optional<std::int64_t> idleTimeoutSeconds(const std::optional<pf::Dictionary>& job);

    // What the dispatching handler does with one arriving message.
    void dispatchMessage(const std::shared_ptr<VDIPCMessage>& message);

private:
    void installSealObserver();
    void admitClientsBy(VDIPCConnectionXPC& listener);
    void startIdleTimer(std::int64_t seconds);
    void checkIdle(std::int64_t seconds);
    void beginIdleExit();
    void awaitDrained(std::uint64_t generation);
    std::function<void()> drainedHandler(std::uint64_t generation);
    void resumeServing();
    void removeSelf(const std::shared_ptr<VDIPCMessage>& message);

    std::string serviceName_;
    std::shared_ptr<VDIPCConnection> serviceConnection_;
    std::shared_ptr<pf::dispatch::TimerSource> idleTimer_;
    // The idle exit under way; the generation tells a stale drain apart.
    std::atomic<bool> draining_{false};
    std::uint64_t drainGeneration_ = 0;
    std::shared_ptr<VDClientAdmission> admission_; // set before the listener resumes
};

// Seconds since the Unix epoch of the last message that arrived.
std::int64_t VDSMJobServerLastActivity();
