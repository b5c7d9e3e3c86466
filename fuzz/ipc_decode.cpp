// Hostile bytes against every decoder a peer can reach: packets, envelopes
// (with and without a hook), the error archive, and the messages they make.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ipc/KeyedArchive.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/system/SystemLog.h"

namespace {

struct Decoders {
    std::shared_ptr<VDIPCConnection> plain = std::make_shared<VDIPCConnection>();
    std::shared_ptr<VDIPCConnection> hooked = std::make_shared<VDIPCConnection>();
    Decoders() {
        // The hook accepts any 8-byte data seal, so sealed envelopes get past it.
        hooked->setAerrorHandler([](const std::optional<pf::Data>& packet, pf::Value& seal) -> std::optional<pf::Data> {
            if (seal.isData() && seal.data().size() == 8) return packet;
            return std::nullopt;
        });
    }
};

void exercise(const std::shared_ptr<VDIPCMessage>& message) {
    (void)message->type();
    (void)message->error();
    (void)message->packetData();
    (void)VDIPCMessage::replyToMessage(message, "VDresponse")->packetData();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    pf::setSystemLogSink([](const std::string&) {}); // decoders log every rejection
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Decoders decoders;
    const pf::Data bytes(data, data + size);
    exercise(VDIPCMessage::initWithPacketData(bytes));
    for (const auto& connection : {decoders.plain, decoders.hooked})
        if (std::optional<pf::Data> packet = connection->decodeMessage(bytes))
            exercise(VDIPCMessage::initWithPacketData(packet));
    (void)VDUnarchiveError(bytes);
    return 0;
}
