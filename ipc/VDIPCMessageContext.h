#pragma once
// A transport object that travels beside one received message (and every
// copy or reply of it) under an out-of-band key; its finalizer runs exactly
// once, when the last of them lets go of it.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/Object.h"

class VDIPCMessageContext : public pf::Object {
public:
    using Finalizer = std::function<void()>;

    // The pointer is kept as it is, not owned; the finalizer releases it.
    VDIPCMessageContext(void* context, Finalizer finalizer);
    static std::shared_ptr<VDIPCMessageContext> initWithContext(void* context, Finalizer finalizer);
    ~VDIPCMessageContext() override;
    VDIPCMessageContext(const VDIPCMessageContext&) = delete;
    VDIPCMessageContext& operator=(const VDIPCMessageContext&) = delete;

    void* context() const { return context_; }
    Finalizer finalizer() const;
    void setFinalizer(Finalizer finalizer);
    std::string name() const;
    void setName(std::string name);

private:
    void* const context_;
    mutable std::mutex mutex_;
    Finalizer finalizer_;
    std::string name_;
};
