#pragma once
// The delegate of a Mach port that catches one incoming message for a
// thread that waits for it (a client's reply, the service's next request).
#include <memory>
#include <mutex>

#include "platform/foundation/Object.h"
#include "platform/mach/Port.h"

class VDMachPortDelegate : public pf::Object, public pf::mach::PortDelegate {
public:
    void handlePortMessage(std::shared_ptr<pf::mach::PortMessage> message) override;
    // Runs the current thread's run loop once, for at most the seconds given,
    // and hands over the message kept meanwhile (clearing it), or nullptr.
    std::shared_ptr<pf::mach::PortMessage> waitForPortMessage(double seconds);

private:
    std::mutex mutex_;
    std::shared_ptr<pf::mach::PortMessage> msg_;
};
