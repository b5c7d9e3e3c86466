#pragma once
// The settings a service connection shares with all its per-client child
// connections: server handler, envelope hook and time-out.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class VDIPCHandler;

// The envelope hook. Encoding: the seal starts null; a result replaces the
// packet and a seal the hook stored goes beside it. Decoding: the seal holds
// the received one; the result is the accepted packet, nullopt rejects.
using VDIPCEnvelopeHook =
    std::function<std::optional<pf::Data>(const std::optional<pf::Data>& packet, pf::Value& seal)>;

class VDIPCContext : public pf::Object {
public:
    double timeout() const { return timeout_.load(); }
    void setTimeout(double seconds) { timeout_.store(seconds); }

    VDIPCEnvelopeHook aerrorHandler() const;
    void setAerrorHandler(VDIPCEnvelopeHook hook);

    std::shared_ptr<VDIPCHandler> serverHandler() const;
    void setServerHandler(std::shared_ptr<VDIPCHandler> handler);

private:
    // Atomic only so that a reader on another queue never sees a torn value.
    std::atomic<double> timeout_{0};
    mutable std::mutex mutex_;
    VDIPCEnvelopeHook aerrorHandler_;
    std::shared_ptr<VDIPCHandler> serverHandler_;
};
