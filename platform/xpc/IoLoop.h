#pragma once
// The one thread of the process that waits on every socket of the
// transport (epoll). Connections register a descriptor with a callback;
// callbacks run on the IO thread, one at a time. Registration ids are never
// reused, so an event for a descriptor already removed finds nothing.
#include <cstdint>
#include <functional>

namespace pf::xpc::detail {

class IoLoop {
public:
    using Callback = std::function<void(std::uint32_t events)>;
    static IoLoop& shared();

    // Watches fd for the events (EPOLLIN / EPOLLOUT); returns the id, 0 on failure.
    std::uint64_t add(int fd, std::uint32_t events, Callback callback);
    void modify(std::uint64_t id, int fd, std::uint32_t events);
    // After remove() returns, the callback is not running and never runs again
    // (unless called from the callback itself, which is then its last run).
    void remove(std::uint64_t id, int fd);

private:
    IoLoop();
    struct State;
    State* state_;
};

} // namespace pf::xpc::detail
