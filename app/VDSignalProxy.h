#pragma once
// Forwards an observed signal to a block on a dispatch queue; the block-based
// form of signal observation registers one of these with signalHandler:.
#include <cstdint>
#include <functional>
#include <memory>

#include "app/VDSelector.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class VDSignalProxy : public pf::Object {
public:
    using Handler = std::function<void(std::int32_t signal)>;

    // A null queue is the main queue.
    VDSignalProxy(Handler handler, std::shared_ptr<pf::dispatch::Queue> queue);

    // Runs the block with the number's integer value, asynchronously on the queue.
    void signalHandler(const pf::Value& signal);
    // "signalHandler:"
    static const VDSelector& signalHandlerSelector();

private:
    Handler block_;
    std::shared_ptr<pf::dispatch::Queue> q_;
};
