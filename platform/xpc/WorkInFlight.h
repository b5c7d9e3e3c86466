#pragma once
// Work the XPC transport of this process has taken on and not finished. One
// unit each: a peer accepted and neither serving nor refused yet; a received
// frame until it is answered or forgotten (so its handler, and any completion
// that keeps the request to answer it, counts); a peer with bytes queued and
// not yet written; and, while its listener drains, a peer whose sent bytes
// have not all been read. A service leaves for idleness only at zero. (A
// client that never reads its replies keeps them in flight, and so keeps the
// service; only an admitted client gets replies, and it could keep the
// service as well by asking now and then.)
#include <cstddef>
#include <functional>

namespace pf::xpc {

std::size_t workInFlight();

// `then` runs once on a global queue as soon as no work is in flight (at
// once when none is); it replaces a waiter that has not run yet.
void whenNoWorkInFlight(std::function<void()> then);

} // namespace pf::xpc

namespace pf::xpc::detail {

void addWork();
void finishWork();

// One unit of work held while the flag is set.
class WorkFlag {
public:
    WorkFlag() = default;
    WorkFlag(const WorkFlag&) = delete;
    WorkFlag& operator=(const WorkFlag&) = delete;
    ~WorkFlag() { set(false); }
    void set(bool on) {
        if (on == on_) return;
        on_ = on;
        on ? addWork() : finishWork();
    }

private:
    bool on_ = false;
};

} // namespace pf::xpc::detail
