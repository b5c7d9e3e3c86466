#pragma once
// The Mach transport. A service checks its name in with the bootstrap server
// and receives on that port in a thread of its own; a client looks the name
// up and sends requests that carry its private reply port. Messages carry no
// identifier: a client has one request in flight, and its reply is the next
// message on its reply port within the time-out. The service answers each
// client through a child connection keyed by the client's reply port name;
// the child dies (and is dropped) when that port becomes a dead name.
//
// VDIPCConnectionMach holds what every role shares; VDIPCConnectionMach__
// (VDIPCConnectionMach__.h) is the concrete transport.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "ipc/VDIPCConnection.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/mach/Port.h"

class VDIPCConnectionMach : public VDIPCConnection {
public:
    using SetupHandler = std::function<void(const std::shared_ptr<VDIPCConnectionMach>&)>;

    ~VDIPCConnectionMach() override;

    // A client of the named service; nullptr when the look-up fails.
    static std::shared_ptr<VDIPCConnectionMach> connectionWithServiceName(std::string_view name);
    // A service vending the name (which its job must declare); the setup block
    // runs 1 ms later on the receive thread, before anything is received.
    static std::shared_ptr<VDIPCConnectionMach> serviceConnnectionWithName(std::string_view name,
                                                                          SetupHandler setup);

    // The child for a client's reply port, made (with the service's context)
    // on first use; nullptr when the service already has as many children as
    // an XPC listener admits peers.
    std::shared_ptr<VDIPCConnectionMach> childConnectionWithPort(const std::shared_ptr<pf::mach::Port>& replyPort);
    void removeChild(const void* child);
    // Delivers a frame's envelope (on the default global queue) to the send
    // record's reply handler, or to the server handler without one.
    void handlePortMessage(std::shared_ptr<pf::mach::PortMessage> message,
                           std::shared_ptr<VDIPCMessage> sendRecord);
    // The object of the notification is the dead port.
    virtual void portDied(const pf::Notification& note);
    virtual void childDied(const pf::Notification& note);

    bool isChild() const { return isChild_.load(); }
    std::size_t childCount() const;

protected:
    VDIPCConnectionMach() = default;
    std::shared_ptr<VDIPCConnectionMach> machSelf();
    void observePortInvalidation(const std::shared_ptr<pf::mach::Port>& port);

    mutable std::mutex machMutex_;
    std::shared_ptr<pf::mach::Port> sendPort_;
    std::shared_ptr<pf::mach::Port> recvPort_;
    std::map<std::uint32_t, std::shared_ptr<VDIPCConnectionMach>> children_;
    std::atomic<bool> isChild_{false};
    std::atomic<std::int64_t> recvPortDead_{0};

private:
    pf::NotificationCenter::ObserverHandle portObserver_;
    std::map<const void*, pf::NotificationCenter::ObserverHandle> childObservers_;
};
