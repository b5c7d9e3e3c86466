#include "platform/mach/DeadNameSource.h"

#include <fcntl.h>
#include <sys/epoll.h>

#include <mutex>
#include <utility>

#include "platform/xpc/IoLoop.h"

namespace pf::mach {

namespace {

using xpc::detail::IoLoop;

// Watched on the transport's IO thread, with every socket of the process.
class Watch : public DeadNameSource {
public:
    Watch(UniqueFd fd, std::shared_ptr<dispatch::Queue> queue, std::function<void()> handler)
        : fd_(std::move(fd)), queue_(std::move(queue)), handler_(std::move(handler)) {}
    ~Watch() override { cancel(); }

    // Called once the object is shared: the IO thread holds it weakly.
    bool start(const std::shared_ptr<Watch>& self) {
        std::weak_ptr<Watch> weak = self;
        std::lock_guard lock(mutex_);
        // EPOLLONESHOT alone: hang-ups are reported whatever is asked for.
        id_ = IoLoop::shared().add(fd_.get(), EPOLLONESHOT, [weak](std::uint32_t events) {
            if (!(events & (EPOLLHUP | EPOLLERR))) return;
            if (auto watch = weak.lock()) watch->fire();
        });
        return id_ != 0;
    }

    void cancel() override { stop(); }

    void fire() {
        if (auto handler = stop()) queue_->async(std::move(handler));
    }

private:
    // Ends the watch; the handler, if it was still to run. The IO loop lets
    // go of the descriptor (and of a callback running on another thread)
    // outside our lock, since that callback takes it too.
    std::function<void()> stop() {
        std::function<void()> handler;
        std::uint64_t id = 0;
        UniqueFd fd;
        {
            std::lock_guard lock(mutex_);
            handler = std::exchange(handler_, nullptr);
            id = std::exchange(id_, 0);
            fd = std::move(fd_);
        }
        if (id) IoLoop::shared().remove(id, fd.get());
        return handler;
    }

    std::mutex mutex_;
    UniqueFd fd_;
    std::uint64_t id_ = 0;
    std::shared_ptr<dispatch::Queue> queue_;
    std::function<void()> handler_;
};

} // namespace

std::shared_ptr<DeadNameSource> DeadNameSource::create(const Port& port, std::shared_ptr<dispatch::Queue> queue,
                                                       std::function<void()> handler) {
    auto end = port.sendEnd();
    if (!end || !queue || !handler) return nullptr;
    UniqueFd copy(::fcntl(end->get(), F_DUPFD_CLOEXEC, 0));
    if (!copy) return nullptr;
    auto watch = std::make_shared<Watch>(std::move(copy), std::move(queue), std::move(handler));
    if (!watch->start(watch)) return nullptr;
    return watch;
}

} // namespace pf::mach
