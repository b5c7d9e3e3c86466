// The envelope of a packet: {"__d_": packet, "__s_": seal}, a binary
// property list, with the connection's hook consulted on the way out and in.
#include "app/VDApplication.h"
#include "ipc/IPCKeys.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/PropertyList.h"

std::optional<pf::Data> VDIPCConnection::encodedMessage(const std::shared_ptr<VDIPCMessage>& message) const {
    std::optional<pf::Data> packet = message ? message->packetData() : std::nullopt;
    pf::Value seal;
    if (VDIPCEnvelopeHook hook = aerrorHandler()) {
        if (std::optional<pf::Data> replaced = hook(packet, seal)) packet = std::move(replaced);
    }
    pf::Dictionary envelope;
    if (packet) {
        envelope.emplace(vdipc::kEnvelopePacketKey, pf::Value(std::move(*packet)));
        if (!seal.isNull()) envelope.emplace(vdipc::kEnvelopeSealKey, std::move(seal));
    }
    return pf::binaryPropertyList(pf::Value(std::move(envelope)));
}

std::optional<pf::Data> VDIPCConnection::decodeMessage(const std::optional<pf::Data>& envelope) const {
    std::optional<pf::Value> parsed;
    if (envelope) parsed = pf::propertyListFromBytes(*envelope);
    if (!parsed || !parsed->isDictionary()) {
        VDLog(1, "ipc: unexpected message type");
        return std::nullopt;
    }
    const pf::Value* packet = parsed->find(vdipc::kEnvelopePacketKey);
    if (!packet || !packet->isData()) return std::nullopt;
    const pf::Value* seal = parsed->find(vdipc::kEnvelopeSealKey);
    // An unsealed envelope is taken as it is, hook or no hook.
    if (!seal) return packet->data();
    VDIPCEnvelopeHook hook = aerrorHandler();
    if (!hook) return std::nullopt;
    pf::Value received = *seal;
    return hook(packet->data(), received);
}
