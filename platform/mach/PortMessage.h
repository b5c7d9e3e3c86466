#pragma once
// One message between ports: a message identifier and components, each data
// or a port. Outgoing, sendPort is where it goes and receivePort the reply
// port that travels with it (as a send right). Incoming, sendPort is the port
// to answer on (the reply port that came with it, or nullptr) and receivePort
// the port it arrived on.
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "platform/foundation/Value.h"

namespace pf::mach {

class Port;
using PortComponent = std::variant<Data, std::shared_ptr<Port>>;

struct PortMessage {
    std::shared_ptr<Port> sendPort;
    std::shared_ptr<Port> receivePort;
    std::uint32_t msgid = 0;
    std::vector<PortComponent> components;

    // Sends to sendPort, waiting at most timeoutSeconds for room in its queue.
    // 0, or a negative errno: -ETIMEDOUT, -EPIPE (a dead name), -EINVAL (no
    // send right, or contents that cannot travel), -EMSGSIZE.
    int send(double timeoutSeconds) const;
};

} // namespace pf::mach
