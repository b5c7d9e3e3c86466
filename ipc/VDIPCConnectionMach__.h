#pragma once
// The concrete Mach transport (see VDIPCConnectionMach.h). All sends, reply
// waits, changes of the child table and the dead-name event of the send port
// run on the serial queue "com.vandrelsys.ipc.mach"; a request with reply
// holds that queue until its reply arrives or times out, so a client sends
// its next message only then (up to twice the time-out per request).
#include <memory>
#include <string_view>

#include "ipc/VDIPCConnectionMach.h"
#include "platform/dispatch/Queue.h"
#include "platform/mach/DeadNameSource.h"
#include "platform/runloop/RunLoop.h"

class VDIPCConnectionMach__ : public VDIPCConnectionMach {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    explicit VDIPCConnectionMach__(Passkey);
    ~VDIPCConnectionMach__() override;

    static std::shared_ptr<VDIPCConnectionMach__> initWithSendPort(std::shared_ptr<pf::mach::Port> port);
    static std::shared_ptr<VDIPCConnectionMach__> initWithServiceName(std::string_view name);
    static std::shared_ptr<VDIPCConnectionMach__> initWithVendedServiceName(std::string_view name,
                                                                            SetupHandler setup);

    void setSendPort(std::shared_ptr<pf::mach::Port> port);
    void handleServerMessage(std::shared_ptr<pf::mach::PortMessage> message);
    // Invalidates the reply or service port (a child has none: nothing happens).
    void close() override;
    void portDied(const pf::Notification& note) override;
    void childDied(const pf::Notification& note) override;

protected:
    void send(const std::shared_ptr<VDIPCMessage>& sendRecord) override;

private:
    void transmit(const std::shared_ptr<VDIPCMessage>& record, const std::shared_ptr<pf::mach::Port>& sendPort,
                  const std::shared_ptr<pf::mach::Port>& recvPort, double timeout);
    void receiveLoop(SetupHandler setup, std::string name);

    std::shared_ptr<pf::dispatch::Queue> q_;
    std::shared_ptr<pf::mach::DeadNameSource> sendsrc_;
    std::atomic<pf::RunLoop*> serviceLoop_{nullptr};
};
