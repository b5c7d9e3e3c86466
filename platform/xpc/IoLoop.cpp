#include "platform/xpc/IoLoop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace pf::xpc::detail {

struct IoLoop::State {
    int epoll = -1;
    std::mutex mutex; // guards callbacks and running
    std::map<std::uint64_t, std::shared_ptr<Callback>> callbacks;
    std::uint64_t nextId = 1;
    std::uint64_t running = 0;
    std::thread::id ioThread;
    std::condition_variable_any idle;
};

IoLoop& IoLoop::shared() {
    static IoLoop* loop = new IoLoop(); // lives as long as the process
    return *loop;
}

IoLoop::IoLoop() : state_(new State) {
    state_->epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::thread([s = state_] {
        s->ioThread = std::this_thread::get_id();
        epoll_event events[64];
        for (;;) {
            const int n = ::epoll_wait(s->epoll, events, 64, -1);
            for (int i = 0; i < n; ++i) {
                std::shared_ptr<Callback> callback;
                {
                    std::lock_guard lock(s->mutex);
                    auto it = s->callbacks.find(events[i].data.u64);
                    if (it == s->callbacks.end()) continue;
                    callback = it->second;
                    s->running = events[i].data.u64;
                }
                (*callback)(events[i].events);
                std::lock_guard lock(s->mutex);
                s->running = 0;
                s->idle.notify_all();
            }
        }
    }).detach();
}

std::uint64_t IoLoop::add(int fd, std::uint32_t events, Callback callback) {
    std::lock_guard lock(state_->mutex);
    const std::uint64_t id = state_->nextId++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    if (::epoll_ctl(state_->epoll, EPOLL_CTL_ADD, fd, &ev) != 0) return 0;
    state_->callbacks[id] = std::make_shared<Callback>(std::move(callback));
    return id;
}

void IoLoop::modify(std::uint64_t id, int fd, std::uint32_t events) {
    std::lock_guard lock(state_->mutex);
    if (!state_->callbacks.count(id)) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    ::epoll_ctl(state_->epoll, EPOLL_CTL_MOD, fd, &ev);
}

void IoLoop::remove(std::uint64_t id, int fd) {
    std::unique_lock lock(state_->mutex);
    if (state_->callbacks.erase(id) == 0) return;
    ::epoll_ctl(state_->epoll, EPOLL_CTL_DEL, fd, nullptr);
    if (std::this_thread::get_id() == state_->ioThread) return;
    state_->idle.wait(lock, [&] { return state_->running != id; });
}

} // namespace pf::xpc::detail
