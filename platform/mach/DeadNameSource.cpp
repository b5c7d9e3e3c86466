#include "platform/mach/DeadNameSource.h"

#include <fcntl.h>
#include <sys/epoll.h>

#include <map>
#include <mutex>
#include <thread>

#include "platform/xpc/Syscall.h"

namespace pf::mach {

namespace {

class Watch;

// One epoll set and one thread for every dead-name source of the process,
// made on first use and kept to the end (it sleeps while nothing hangs up).
class Watcher {
public:
    static Watcher& shared() {
        static Watcher* watcher = new Watcher;
        return *watcher;
    }

    bool add(const std::shared_ptr<Watch>& watch, int fd);
    void remove(std::uint64_t id, int fd);

private:
    Watcher();
    void run();

    UniqueFd epoll_;
    std::mutex mutex_;
    std::map<std::uint64_t, std::weak_ptr<Watch>> watches_;
    std::uint64_t nextId_ = 1;
};

class Watch : public DeadNameSource, public std::enable_shared_from_this<Watch> {
public:
    Watch(UniqueFd fd, std::shared_ptr<dispatch::Queue> queue, std::function<void()> handler)
        : fd_(std::move(fd)), queue_(std::move(queue)), handler_(std::move(handler)) {}
    ~Watch() override { cancel(); }

    void cancel() override {
        std::lock_guard lock(mutex_);
        if (!handler_) return;
        handler_ = nullptr;
        Watcher::shared().remove(id_, fd_.get());
        fd_.reset();
    }

    void fire() {
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex_);
            handler = std::move(handler_);
            handler_ = nullptr;
            if (handler) Watcher::shared().remove(id_, fd_.get());
            fd_.reset();
        }
        if (handler) queue_->async(std::move(handler));
    }

    std::uint64_t id_ = 0;
    UniqueFd fd_;

private:
    std::mutex mutex_;
    std::shared_ptr<dispatch::Queue> queue_;
    std::function<void()> handler_;
};

Watcher::Watcher() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_) std::thread([this] { run(); }).detach();
}

bool Watcher::add(const std::shared_ptr<Watch>& watch, int fd) {
    if (!epoll_) return false;
    std::lock_guard lock(mutex_);
    watch->id_ = nextId_++;
    epoll_event event{};
    event.events = EPOLLONESHOT; // hang-ups are reported whatever is asked for
    event.data.u64 = watch->id_;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) return false;
    watches_[watch->id_] = watch;
    return true;
}

void Watcher::remove(std::uint64_t id, int fd) {
    std::lock_guard lock(mutex_);
    if (watches_.erase(id) && fd >= 0) ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void Watcher::run() {
    epoll_event events[16];
    for (;;) {
        const int n = xpc::sys::retry([&] { return ::epoll_wait(epoll_.get(), events, 16, -1); });
        for (int i = 0; i < n; ++i) {
            std::shared_ptr<Watch> watch;
            {
                std::lock_guard lock(mutex_);
                auto it = watches_.find(events[i].data.u64);
                if (it != watches_.end()) watch = it->second.lock();
            }
            if (watch && (events[i].events & (EPOLLHUP | EPOLLERR))) watch->fire();
        }
    }
}

} // namespace

std::shared_ptr<DeadNameSource> DeadNameSource::create(const Port& port, std::shared_ptr<dispatch::Queue> queue,
                                                       std::function<void()> handler) {
    auto end = port.sendEnd();
    if (!end || !queue || !handler) return nullptr;
    UniqueFd copy(::fcntl(end->get(), F_DUPFD_CLOEXEC, 0));
    if (!copy) return nullptr;
    const int fd = copy.get();
    auto watch = std::make_shared<Watch>(std::move(copy), std::move(queue), std::move(handler));
    if (!Watcher::shared().add(watch, fd)) return nullptr;
    return watch;
}

} // namespace pf::mach
