#include "ipc/VDIPCMessageContext.h"

VDIPCMessageContext::VDIPCMessageContext(void* context, Finalizer finalizer)
    : context_(context), finalizer_(std::move(finalizer)) {}

std::shared_ptr<VDIPCMessageContext> VDIPCMessageContext::initWithContext(void* context, Finalizer finalizer) {
    return std::make_shared<VDIPCMessageContext>(context, std::move(finalizer));
}

VDIPCMessageContext::~VDIPCMessageContext() {
    // Destruction happens once, so the finalizer runs at most once.
    if (finalizer_) finalizer_();
}

VDIPCMessageContext::Finalizer VDIPCMessageContext::finalizer() const {
    std::lock_guard lock(mutex_);
    return finalizer_;
}

void VDIPCMessageContext::setFinalizer(Finalizer finalizer) {
    std::lock_guard lock(mutex_);
    finalizer_ = std::move(finalizer);
}

std::string VDIPCMessageContext::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void VDIPCMessageContext::setName(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}
