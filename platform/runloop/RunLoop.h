#pragma once
// A per-thread run loop over epoll: file-descriptor sources that can be
// switched off and on, timers, and (on the main thread) the main dispatch
// queue. runUntil is the platform's one-shot "accept input before a date":
// it handles one batch of ready sources or due timers, or returns at the limit.
//
// Waits and timers run on the monotonic clock, so a step of the wall clock
// neither stretches nor cuts them; a limit given as a date is turned into a
// monotonic deadline once, on entry.
//
// Like the platform's run loops, a loop may be given sources and timers from
// any thread (a connection set up on a worker often adds its source to the
// main loop): one lock guards the loop's tables, and adding a timer wakes a
// wait in progress so that it takes the new deadline into account. Callbacks
// always run on the loop's own thread, without that lock held.
#include <chrono>
#include <functional>
#include <memory>

#include "platform/foundation/Date.h"

namespace pf {

class RunLoop {
public:
    using Clock = std::chrono::steady_clock;

    class Source {
    public:
        virtual ~Source() = default;
        virtual void setEnabled(bool enabled) = 0;
        virtual bool isEnabled() const = 0;
        // Removes the source from its loop; its callback is not called again
        // (except a run already in progress on the loop's thread). Sources
        // outlive their loop safely: once the loop's thread has ended they
        // are simply inert.
        virtual void invalidate() = 0;
    };

    // The loop of the calling thread, created on first use; it ends with its
    // thread. The main thread's loop lives as long as the process.
    static RunLoop& current();
    // The main thread's loop (which also drains the main queue).
    static RunLoop& main();

    virtual ~RunLoop() = default;

    enum class Result { HandledInput, TimedOut };
    Result runUntil(Date limit);
    virtual Result runUntilDeadline(Clock::time_point deadline) = 0;
    // Keeps accepting input until the given seconds have passed.
    void runFor(double seconds);
    // Now plus the given seconds, clamped so that any wait, however long, fits.
    static Clock::time_point deadlineIn(double seconds);

    // The callback runs on this loop's thread whenever fd is readable.
    // The loop does not own the descriptor.
    virtual std::shared_ptr<Source> addReadSource(int fd, std::function<void()> onReadable) = 0;
    // A timer on this loop; interval 0 fires once.
    virtual std::shared_ptr<Source> addTimer(double firstAfterSeconds, double intervalSeconds,
                                             std::function<void()> onFire) = 0;
    // Makes a runUntil in progress on this loop return; callable from any
    // thread while the loop's thread runs.
    virtual void wakeUp() = 0;
};

} // namespace pf

// Used by the main queue: the main thread's run loop calls this to run the
// tasks queued for the main queue. Defined by platform/dispatch.
namespace pf::dispatch::detail {
int mainQueueWakeFd();      // readable while main-queue tasks are pending
void drainMainQueue();      // runs the pending main-queue tasks
} // namespace pf::dispatch::detail
