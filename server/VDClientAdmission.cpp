#include "server/VDClientAdmission.h"

#include "ipc/VDIPCConnectionXPC.h"
#include "ipc/VDIPCMessage.h"

std::optional<std::string> VDClientAdmission::admitPeer(const pf::xpc::PeerCredentials& peer) {
    auto reason = requirement_->refusalReason(peer);
    if (reason) log_.refused(peer.euid, peer.pid, *reason);
    return reason;
}

bool VDClientAdmission::admitsSenderOf(const VDIPCMessage& message) {
    // The transport has made sure every byte of the request came from the
    // process admitted on this connection; whether that process still
    // passes is asked now. A connection already gone leaves no process to
    // ask, so its requests are not handled.
    auto peer = VDIPCConnectionXPC::xpcConnectionForMessage(message);
    if (!peer || !peer->isPeer()) return false;
    if (!admitPeer(peer->credentials())) return true;
    peer->cancel();
    return false;
}
