// Asynchronous posting lives apart so that only its users need the main queue.
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"

namespace pf {

void NotificationCenter::postAsyncOnMainQueue(Notification note) {
    dispatch::Queue::main()->async([state = state_, note = std::move(note)] { deliver(state, note); });
}

} // namespace pf
