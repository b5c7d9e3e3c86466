#include "ipc/VDMachPortDelegate.h"

#include "foundation_ext/RunLoopExtensions.h"

void VDMachPortDelegate::handlePortMessage(std::shared_ptr<pf::mach::PortMessage> message) {
    std::lock_guard lock(mutex_);
    msg_ = std::move(message);
}

std::shared_ptr<pf::mach::PortMessage> VDMachPortDelegate::waitForPortMessage(double seconds) {
    waitForEventWithTimeout(pf::RunLoop::current(), seconds);
    std::lock_guard lock(mutex_);
    return std::exchange(msg_, nullptr);
}
