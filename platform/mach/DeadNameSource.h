#pragma once
// The dead-name event of a send right: the handler runs once, on the given
// queue, when the port's receive right is gone (every holder closed it or
// exited). The transport's IO thread waits for the hang-ups of all sources;
// each source watches its own copy of the send end, so the port may be
// invalidated meanwhile.
#include <functional>
#include <memory>

#include "platform/dispatch/Queue.h"
#include "platform/mach/Port.h"

namespace pf::mach {

class DeadNameSource {
public:
    // nullptr when the port has no send right or cannot be watched.
    static std::shared_ptr<DeadNameSource> create(const Port& port, std::shared_ptr<dispatch::Queue> queue,
                                                  std::function<void()> handler);
    virtual ~DeadNameSource() = default;
    // The handler is not called after cancel returns (unless already queued
    // and running).
    virtual void cancel() = 0;
};

} // namespace pf::mach
