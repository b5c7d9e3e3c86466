#include "platform/system/SignalEventQueue.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace pf {
namespace {

constexpr int kSignalCount = 65; // 1 ... 64, the real-time signals included

// Touched by the handler, so only lock-free atomics.
std::atomic<int> gWriteFd{-1};
std::atomic<bool> gPending[kSignalCount];
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

void markPending(int signal) {
    const int savedErrno = errno;
    if (signal > 0 && signal < kSignalCount) gPending[signal].store(true);
    const char byte = 1;
    // A full pipe is already readable: the byte is not needed.
    [[maybe_unused]] const ssize_t written = ::write(gWriteFd.load(), &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalEventQueue* SignalEventQueue::shared() {
    static SignalEventQueue* const queue = []() -> SignalEventQueue* {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
        return new SignalEventQueue(fds[0], fds[1]); // lives until exit, as handlers may still fire
    }();
    return queue;
}

SignalEventQueue::SignalEventQueue(int readFd, int writeFd) : readFd_(readFd) { gWriteFd.store(writeFd); }

int SignalEventQueue::descriptor() const { return readFd_; }

bool SignalEventQueue::addSignal(int signal) {
    if (signal <= 0 || signal >= kSignalCount) return false;
    struct sigaction action {};
    action.sa_handler = markPending;
    action.sa_flags = SA_RESTART;
    ::sigemptyset(&action.sa_mask);
    return ::sigaction(signal, &action, nullptr) == 0;
}

std::optional<int> SignalEventQueue::fetch() {
    // Empty the pipe first: a signal arriving after this read marks itself
    // and writes again, so its byte keeps the descriptor readable.
    char buffer[256];
    while (::read(readFd_, buffer, sizeof buffer) > 0) {
    }
    for (int signal = 1; signal < kSignalCount; ++signal)
        if (gPending[signal].exchange(false)) return signal;
    return std::nullopt;
}

} // namespace pf
