#pragma once
// A connection whose transport only records what it is handed, so the
// connection core can be watched without sockets, and an inbox for the
// messages a handler block receives.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"

namespace vt {

// Messages handed over on other threads (by a handler block, or to a
// transport), with a watchdog wait for the n-th.
class Inbox {
public:
    VDIPCHandlerBlock block() {
        return [this](std::shared_ptr<VDIPCMessage> m) { add(std::move(m)); };
    }
    void add(std::shared_ptr<VDIPCMessage> message) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(message));
        cv_.notify_all();
    }
    bool waitFor(std::size_t n, std::chrono::milliseconds watchdog = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, watchdog, [&] { return items_.size() >= n; });
    }
    std::vector<std::shared_ptr<VDIPCMessage>> items() {
        std::lock_guard lock(mutex_);
        return items_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::shared_ptr<VDIPCMessage>> items_;
};

class LoopbackConnection : public VDIPCConnection {
public:
    Inbox records;

protected:
    void send(const std::shared_ptr<VDIPCMessage>& record) override { records.add(record); }
};

} // namespace vt
