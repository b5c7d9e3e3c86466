#include "ipc/VDIPCContext.h"

#include "ipc/VDIPCHandler.h"

VDIPCEnvelopeHook VDIPCContext::aerrorHandler() const {
    std::lock_guard lock(mutex_);
    return aerrorHandler_;
}

void VDIPCContext::setAerrorHandler(VDIPCEnvelopeHook hook) {
    std::lock_guard lock(mutex_);
    aerrorHandler_ = std::move(hook);
}

std::shared_ptr<VDIPCHandler> VDIPCContext::serverHandler() const {
    std::lock_guard lock(mutex_);
    return serverHandler_;
}

void VDIPCContext::setServerHandler(std::shared_ptr<VDIPCHandler> handler) {
    std::lock_guard lock(mutex_);
    serverHandler_ = std::move(handler);
}
