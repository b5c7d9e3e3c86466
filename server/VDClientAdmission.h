#pragma once
// The client requirement applied twice: to each peer before the listener
// serves it, and again to the sender of each request when it is handled (the
// process that connected may since run another program, or be traced). A
// refusal is logged through the bounded refusal log; a sender refused at
// request time loses its connection.
#include <memory>
#include <optional>
#include <string>

#include "platform/xpc/PeerCredentials.h"
#include "server/VDClientRequirement.h"
#include "server/VDRefusalLog.h"

class VDIPCMessage;

class VDClientAdmission {
public:
    explicit VDClientAdmission(std::shared_ptr<VDClientRequirement> requirement)
        : requirement_(std::move(requirement)) {}

    // For the listener's peer admission: nullopt admits.
    std::optional<std::string> admitPeer(const pf::xpc::PeerCredentials& peer);
    // Whether the request may be handled.
    bool admitsSenderOf(const VDIPCMessage& message);

private:
    std::shared_ptr<VDClientRequirement> requirement_;
    VDRefusalLog log_;
};
