#include "server/Seal.h"

std::uint64_t VDFNV1a64(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::uint64_t VDSealValue(std::span<const std::uint8_t> packet, std::string_view serviceName) {
    const auto* name = reinterpret_cast<const std::uint8_t*>(serviceName.data());
    return VDFNV1a64(packet) ^ VDFNV1a64({name, serviceName.size()});
}

pf::Data VDSealData(std::span<const std::uint8_t> packet, std::string_view serviceName) {
    const std::uint64_t seal = VDSealValue(packet, serviceName);
    pf::Data data(8);
    for (int i = 0; i < 8; ++i) data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(seal >> (8 * i));
    return data;
}

VDIPCEnvelopeHook VDSealHook(std::string serviceName) {
    return [name = std::move(serviceName)](const std::optional<pf::Data>& packet,
                                           pf::Value& seal) -> std::optional<pf::Data> {
        static const pf::Data kEmpty;
        pf::Data expected = VDSealData(packet ? *packet : kEmpty, name);
        if (seal.isNull()) {
            // Outgoing: the packet goes out unchanged, with its seal beside it.
            seal = pf::Value(std::move(expected));
            return std::nullopt;
        }
        if (seal.isData() && seal.data() == expected) return packet;
        return std::nullopt;
    };
}
