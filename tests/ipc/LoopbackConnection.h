#pragma once
// A connection whose transport only records what it is handed, so the
// connection core can be watched without sockets.
#include <memory>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "tests/ipc/Collected.h"

namespace vt {

class LoopbackConnection : public VDIPCConnection {
public:
    Collected<std::shared_ptr<VDIPCMessage>> records;

protected:
    void send(const std::shared_ptr<VDIPCMessage>& record) override { records.add(record); }
};

// The messages a handler block receives.
struct Inbox : Collected<std::shared_ptr<VDIPCMessage>> {
    VDIPCHandlerBlock block() {
        return [this](std::shared_ptr<VDIPCMessage> m) { add(std::move(m)); };
    }
};

} // namespace vt
