#pragma once
// The 8-byte seal of the job server's envelope hook:
// FNV-1a-64(packet) XOR FNV-1a-64(UTF-8 bytes of the service name), least
// significant byte first.
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/foundation/Value.h"

std::uint64_t VDFNV1a64(std::span<const std::uint8_t> bytes);
std::uint64_t VDSealValue(std::span<const std::uint8_t> packet, std::string_view serviceName);
pf::Data VDSealData(std::span<const std::uint8_t> packet, std::string_view serviceName);

#include "ipc/VDIPCConnection.h"

// The envelope hook that seals outgoing packets and accepts an incoming one
// only when its seal matches. Service and clients install the same hook.
VDIPCEnvelopeHook VDSealHook(std::string serviceName);
