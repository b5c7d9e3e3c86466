#include "app/VDSignalProxy.h"

#include "app/ExceptionGuard.h"

VDSignalProxy::VDSignalProxy(Handler handler, std::shared_ptr<pf::dispatch::Queue> queue)
    : block_(std::move(handler)), q_(queue ? std::move(queue) : pf::dispatch::Queue::main()) {}

void VDSignalProxy::signalHandler(const pf::Value& signal) {
    const auto number = static_cast<std::int32_t>(signal.integerValue());
    q_->async([block = block_, number] {
        VDGuard(__LINE__, [&] {
            if (block) block(number);
        });
    });
}

const VDSelector& VDSignalProxy::signalHandlerSelector() {
    static const VDSelector selector = VDSelector::define<VDSignalProxy>("signalHandler:", &VDSignalProxy::signalHandler);
    return selector;
}
