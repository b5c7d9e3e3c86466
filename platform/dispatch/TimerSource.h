#pragma once
// A dispatch timer source: fires first after `startNs`, then every
// `intervalNs` (0: once), each firing possibly up to `leewayNs` late, running
// its handler on the target queue. Created suspended; resume() arms it.
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/dispatch/Queue.h"

namespace pf::dispatch {

class TimerSource {
public:
    static std::shared_ptr<TimerSource> create(std::shared_ptr<Queue> queue);
    virtual ~TimerSource() = default;

    virtual void setTimer(std::uint64_t startNs, std::uint64_t intervalNs, std::uint64_t leewayNs) = 0;
    virtual void setEventHandler(Task handler) = 0;
    virtual void resume() = 0;
    // No handler runs after cancel() returns, except one already running.
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

} // namespace pf::dispatch
