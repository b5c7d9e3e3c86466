#include "platform/mach/Port.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>
#include <map>

#include "platform/foundation/NotificationCenter.h"
#include "platform/mach/Frame.h"
#include "platform/mach/RightsTransfer.h"
#include "platform/xpc/Syscall.h"

namespace pf::mach {

namespace {

namespace sys = pf::xpc::sys;

// The process's port name space: one name per port, one Port per send end.
struct NameSpace {
    std::mutex mutex;
    std::map<ino_t, std::weak_ptr<Port>> bySendEnd;
    std::atomic<std::uint32_t> nextName{0x103};
};

NameSpace& names() {
    static NameSpace* space = new NameSpace; // outlives every port, even at exit
    return *space;
}

std::uint32_t newName() { return names().nextName.fetch_add(1); }

ino_t inodeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// Raised so that the largest frame fits; where the process may not go past
// the system's maximum, larger frames fail to send with EMSGSIZE.
void raiseSendBuffer(int fd) {
    const int bytes = static_cast<int>(kMaxWireBytes + 4096);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes); // best effort, see above
}

int remainingMs(RunLoop::Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - RunLoop::Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Sends one frame with at most one descriptor, waiting for room until the deadline.
int sendFrame(int fd, const Data& bytes, int passedFd, RunLoop::Clock::time_point deadline) {
    const std::span<const int> rights(&passedFd, passedFd >= 0 ? 1 : 0);
    for (;;) {
        const ssize_t sent = sendWithRights(fd, bytes.data(), bytes.size(), rights);
        if (sent >= 0) return 0;
        if (sent == -EPIPE || sent == -ECONNRESET || sent == -ENOTCONN) return -EPIPE;
        if (sent != -EAGAIN) return static_cast<int>(sent);
        const int waitMs = remainingMs(deadline);
        if (waitMs == 0) return -ETIMEDOUT;
        pollfd p{fd, POLLOUT, 0};
        const int ready = sys::retry([&] { return ::poll(&p, 1, waitMs); });
        if (ready < 0) return ready;
        if (p.revents & (POLLHUP | POLLERR)) return -EPIPE;
    }
}

} // namespace

Port::Port(Passkey, UniqueFd receiveEnd, UniqueFd sendEnd, ino_t identity)
    : name_(newName()), identity_(identity) {
    if (receiveEnd) receiveEnd_ = std::make_shared<const UniqueFd>(std::move(receiveEnd));
    if (sendEnd) sendEnd_ = std::make_shared<const UniqueFd>(std::move(sendEnd));
}

Port::~Port() {
    if (identity_ == 0) return;
    std::lock_guard lock(names().mutex);
    auto it = names().bySendEnd.find(identity_);
    if (it != names().bySendEnd.end() && it->second.expired()) names().bySendEnd.erase(it);
}

std::shared_ptr<Port> Port::create(std::string* why) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
        if (why) *why = sys::errorText("socketpair", errno);
        return nullptr;
    }
    UniqueFd receiveEnd(ends[0]), sendEnd(ends[1]);
    raiseSendBuffer(sendEnd.get());
    return withRights(std::move(receiveEnd), std::move(sendEnd));
}

std::shared_ptr<Port> Port::withSendRight(UniqueFd sendEnd) {
    if (!sendEnd) return nullptr;
    const ino_t identity = inodeOf(sendEnd.get());
    std::shared_ptr<Port> known; // released after the lock: its destructor takes it
    std::lock_guard lock(names().mutex);
    auto& entry = names().bySendEnd[identity];
    known = entry.lock();
    if (known && known->isValid()) return known; // the copy we got closes here
    auto port = std::make_shared<Port>(Passkey{}, UniqueFd(), std::move(sendEnd), identity);
    entry = port;
    return port;
}

std::shared_ptr<Port> Port::withRights(UniqueFd receiveEnd, UniqueFd sendEnd) {
    if (!receiveEnd || !sendEnd) return nullptr;
    const ino_t identity = inodeOf(sendEnd.get());
    auto port = std::make_shared<Port>(Passkey{}, std::move(receiveEnd), std::move(sendEnd), identity);
    std::shared_ptr<Port> replaced; // released after the lock
    std::lock_guard lock(names().mutex);
    auto& entry = names().bySendEnd[identity];
    replaced = entry.lock();
    entry = port;
    return port;
}

bool Port::isValid() const {
    std::lock_guard lock(mutex_);
    return !invalidated_;
}

std::shared_ptr<const UniqueFd> Port::sendEnd() const {
    std::lock_guard lock(mutex_);
    return sendEnd_;
}

std::shared_ptr<const UniqueFd> Port::receiveEnd() const {
    std::lock_guard lock(mutex_);
    return receiveEnd_;
}

void Port::invalidate() {
    std::shared_ptr<RunLoop::Source> source;
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) return;
        invalidated_ = true;
        source = std::move(source_);
        receiveEnd_.reset();
        sendEnd_.reset();
    }
    if (source) source->invalidate();
    NotificationCenter::defaultCenter().post(kPortDidBecomeInvalidNotification, shared_from_this());
}

void Port::setDelegate(std::weak_ptr<PortDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<PortDelegate> Port::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void Port::scheduleInRunLoop(RunLoop& loop) {
    auto end = receiveEnd();
    if (!end) return;
    removeFromRunLoop();
    std::weak_ptr<Port> weak = weak_from_this();
    auto source = loop.addReadSource(end->get(), [weak] {
        if (auto port = weak.lock()) port->handleReadable();
    });
    std::lock_guard lock(mutex_);
    if (invalidated_) {
        source->invalidate();
        return;
    }
    source_ = std::move(source);
}

void Port::removeFromRunLoop() {
    std::shared_ptr<RunLoop::Source> source;
    {
        std::lock_guard lock(mutex_);
        source = std::move(source_);
    }
    if (source) source->invalidate();
}

void Port::handleReadable() {
    // Refused frames are skipped, so that a waiting receiver is handed the
    // next good one; bounded, so that a flood cannot hold the loop.
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::shared_ptr<PortMessage> message;
        const int result = receive(&message);
        if (result == -EBADMSG) continue;
        if (result == 0) {
            if (auto target = delegate()) target->handlePortMessage(std::move(message));
        } else if (result == -EPIPE) {
            // Nobody can send any more: stop watching a socket that stays readable.
            std::lock_guard lock(mutex_);
            if (source_) source_->setEnabled(false);
        }
        return;
    }
}

int Port::receive(std::shared_ptr<PortMessage>* out) {
    auto end = receiveEnd();
    if (!end) return -EINVAL;
    // One buffer per receiving thread, one byte over the largest frame so
    // that a larger one shows as truncated. Left uninitialised, so a thread
    // only ever touches as many pages as its largest frame needed.
    constexpr std::size_t kCapacity = kMaxWireBytes + 1;
    thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kCapacity]);
    std::size_t size = 0;
    std::vector<UniqueFd> descriptors;
    const auto refuse = [this] {
        refused_.fetch_add(1);
        return -EBADMSG;
    };
    switch (receiveWithRights(end->get(), buffer.get(), kCapacity, &size, &descriptors)) {
    case Received::NothingWaiting: return -EAGAIN;
    case Received::Closed: return -EPIPE;
    case Received::Refused: return refuse();
    case Received::Message: break;
    }
    auto contents = decodeFrame(std::span<const std::uint8_t>(buffer.get(), size), nullptr);
    if (!contents || contents->portCount() != descriptors.size()) return refuse();

    auto message = std::make_shared<PortMessage>();
    message->msgid = contents->msgid;
    message->receivePort = shared_from_this();
    auto nextPort = [&] { return Port::withSendRight(std::move(descriptors.back())); };
    if (contents->carriesReplyPort) message->sendPort = nextPort();
    for (auto& component : contents->components) {
        if (component.isPort)
            message->components.emplace_back(nextPort());
        else
            message->components.emplace_back(std::move(component.data));
    }
    *out = std::move(message);
    return 0;
}

int PortMessage::send(double timeoutSeconds) const {
    auto destination = sendPort ? sendPort->sendEnd() : nullptr;
    if (!destination) return -EINVAL;
    FrameContents contents;
    contents.msgid = msgid;
    contents.carriesReplyPort = receivePort != nullptr;
    std::shared_ptr<const UniqueFd> passed = receivePort ? receivePort->sendEnd() : nullptr;
    if (receivePort && !passed) return -EINVAL;
    for (const auto& component : components) {
        FrameComponent entry;
        if (const auto* port = std::get_if<std::shared_ptr<Port>>(&component)) {
            entry.isPort = true;
            if (passed || !*port || !(passed = (*port)->sendEnd())) return -EINVAL;
        } else {
            entry.data = std::get<Data>(component);
        }
        contents.components.push_back(std::move(entry));
    }
    const auto bytes = encodeFrame(contents, nullptr);
    if (!bytes) return -EINVAL;
    return sendFrame(destination->get(), *bytes, passed ? passed->get() : -1, RunLoop::deadlineIn(timeoutSeconds));
}

} // namespace pf::mach
