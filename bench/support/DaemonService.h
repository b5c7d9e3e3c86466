#pragma once
// The daemon as clients meet it: a launcher on a private jobs folder whose one
// job runs a private copy of the daemon for the service, started on demand.
// The environment is pointed at private folders before the launcher starts,
// so the daemon inherits them. Benchmarks use it for cold and warm requests.
// A second job runs the minimal responder (bench/responder), the floor of a
// cold start: it answers one request and leaves.
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "bench/support/BenchSupport.h"

class VDIPCConnection;
class VDIPCMessage;

namespace vb {

class DaemonService {
public:
    static constexpr const char* kLabel = "com.vandrelsys.VolumeSmith.vicar";
    static constexpr const char* kResponderLabel = "com.vandrelsys.bench.responder";

    // Folders under the scratch folder: bin, services, jobs, support, root.
    // Throws when the launcher does not open the service socket.
    explicit DaemonService(const ScratchDir& scratch);
    ~DaemonService(); // the daemon, then the launcher
    DaemonService(const DaemonService&) = delete;
    DaemonService& operator=(const DaemonService&) = delete;

    // Makes a running daemon leave and waits until it is gone; the launcher
    // starts a new one on the next connection. Asked by "removeSelf_", it
    // deletes its executable and exits cleanly (a killed daemon would count
    // as a failing job, which the launcher throttles); the executable is then
    // put back. Only when it does not leave is it killed; false then.
    bool stopDaemon() const;

    // Waits (up to 10 s) until the responder that answered has left.
    bool responderGone() const;

    // A sealed connection to the service, as the application makes it.
    static std::shared_ptr<VDIPCConnection> connect(const char* label = kLabel);

    // The preparation of a cold request: waits until the job (the daemon, or
    // the responder) has left, then connects, so the next send starts it
    // afresh. Nothing, with the reason in *why, when either step fails.
    std::shared_ptr<VDIPCConnection> connectCold(std::string* why, const char* label = kLabel) const;

    const std::string& folder() const { return folder_; }

private:
    void restoreProgram() const;

    std::string folder_;
    std::string program_;
    std::string pristine_;
    pid_t launcher_ = -1;
};

// Sends the message and waits for the reply handler: nullopt when it was not
// called in time, else the reply (nullptr when the connection ended instead).
std::optional<std::shared_ptr<VDIPCMessage>> exchange(const std::shared_ptr<VDIPCConnection>& connection,
                                                      const std::shared_ptr<VDIPCMessage>& message,
                                                      std::chrono::seconds watchdog);

} // namespace vb
