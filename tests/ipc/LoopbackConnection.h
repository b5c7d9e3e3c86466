#pragma once
// A connection whose transport only records what it is handed, so the
// connection core can be watched without sockets.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"

namespace vt {

class LoopbackConnection : public VDIPCConnection {
public:
    // Waits (with a watchdog) until at least n records were sent.
    bool waitForRecords(std::size_t n, std::chrono::milliseconds watchdog = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, watchdog, [&] { return records_.size() >= n; });
    }
    std::vector<std::shared_ptr<VDIPCMessage>> records() {
        std::lock_guard lock(mutex_);
        return records_;
    }

protected:
    void send(const std::shared_ptr<VDIPCMessage>& record) override {
        std::lock_guard lock(mutex_);
        records_.push_back(record);
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::shared_ptr<VDIPCMessage>> records_;
};

} // namespace vt
