#include "platform/xpc/WorkInFlight.h"

#include <atomic>
#include <mutex>

#include "platform/dispatch/Queue.h"

namespace pf::xpc {
namespace {

std::atomic<std::size_t> gWork{0};
std::mutex gWaiterLock;
std::function<void()> gWaiter;

void runWaiterIfIdle() {
    std::function<void()> waiter;
    {
        std::lock_guard lock(gWaiterLock);
        if (!gWaiter || gWork.load() != 0) return;
        waiter = std::move(gWaiter);
        gWaiter = nullptr;
    }
    dispatch::Queue::global()->async(std::move(waiter));
}

} // namespace

std::size_t workInFlight() { return gWork.load(); }

void whenNoWorkInFlight(std::function<void()> then) {
    {
        std::lock_guard lock(gWaiterLock);
        gWaiter = std::move(then);
    }
    runWaiterIfIdle();
}

namespace detail {

void addWork() { ++gWork; }

void finishWork() {
    if (--gWork == 0) runWaiterIfIdle();
}

} // namespace detail
} // namespace pf::xpc
