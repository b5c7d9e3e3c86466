#pragma once
// How a received message is answered: the connection it came from, its id
// and the connection's generation (a client's socket at the time; a reply for
// an earlier socket is never sent on a later one), and the in-flight slot it
// holds until it has been answered or forgotten.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/xpc/WorkInFlight.h"

namespace pf::xpc {
class Connection;
}

namespace pf::xpc::detail {

// One frame in flight on a connection. Released explicitly (the reply went
// out, the one-way handler returned) or when the last message holding it goes
// away; either way exactly once. Until then it is work in flight.
class InFlightSlot {
public:
    InFlightSlot(std::weak_ptr<Connection> connection, std::uint64_t generation)
        : connection_(std::move(connection)), generation_(generation) {
        addWork();
    }
    ~InFlightSlot() { release(); }
    InFlightSlot(const InFlightSlot&) = delete;
    InFlightSlot& operator=(const InFlightSlot&) = delete;
    void release();

private:
    std::weak_ptr<Connection> connection_;
    std::uint64_t generation_;
    std::atomic<bool> released_{false};
};

struct ReplyRoute {
    std::weak_ptr<Connection> connection;
    std::uint64_t messageId = 0;
    std::uint64_t generation = 0;
    bool wantsReply = false;
    std::shared_ptr<InFlightSlot> slot;
};

} // namespace pf::xpc::detail
