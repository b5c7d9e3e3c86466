#pragma once
// The manager's pool of worker threads: grows on demand up to the thread
// limit, defers background-class tasks once it holds cap workers, backs off
// after failed starts and sheds one surplus idle worker per quiet pass.
// Used only on the manager's thread.
#include <cstdint>
#include <list>
#include <atomic>
#include <memory>
#include <system_error>

#include "async/Worker.h"

namespace VD::async {

class pool {
public:
    // An idle worker, else a new one; nullptr tells the pass to defer the
    // task (background class with cap workers, none idle). Throws the thread
    // limit error, or a plain standard exception when a thread cannot start.
    worker* choose(std::int32_t priority);
    // With work still pending: ends the process after five consecutive
    // failures, sleeps 100 ms after one to four.
    void back_off();
    // With nothing pending: ends one idle worker beyond cap when no task is in flight.
    void retire_one(std::uint64_t tasks_in_flight);

    std::size_t size() const { return workers_.size(); }

private:
    std::list<std::unique_ptr<worker>> workers_;
    // 0 until first needed; kept here because there is one pool per process.
    std::uint32_t thread_limit_ = 0; // computed on first need, on the manager's thread
    std::uint32_t thread_failures_ = 0;
};

// The thread limit error: EAGAIN, "VD::async has hit its thread limit".
std::system_error thread_limit_error();

} // namespace VD::async
