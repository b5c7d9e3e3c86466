// The echo service of EchoService.h. Besides the echo: "oneway" and "silent"
// get no answer, "die" ends the service, "unasked" is preceded by a message
// nobody asked for, "big" carries 64 KiB more. On Mach, "slow" takes 100 ms
// ("mostInFlight": the most requests handled at once), "closechild" closes
// the child connection first, and each answer names its child connection
// ("child") and counts them ("children").
#include <unistd.h>

#include <atomic>

#include "ipc/VDIPCConnectionMach.h"
#include "platform/runloop/RunLoop.h"
#include "tests/ipc/EchoService.h"
#include "tests/support/ChildRole.h"

namespace {

// Set once the Mach service exists; it lives as long as the process.
std::atomic<VDIPCConnectionMach*> gMachService{nullptr};

void answer(const std::shared_ptr<VDIPCMessage>& request) {
    static std::atomic<int> oneWays{0}, inFlight{0}, mostInFlight{0};
    const std::string type = request ? request->type().value_or("") : "";
    if (type == "oneway") ++oneWays;
    if (type == "die") ::_exit(7);
    auto connection = request ? request->connection() : nullptr;
    if (type == "oneway" || type == "silent" || !connection) return;
    if (type == "slow") {
        mostInFlight = std::max(mostInFlight.load(), ++inFlight);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        --inFlight;
    }
    if (type == "closechild") connection->close();
    if (type == "unasked") connection->sendMessage(VDIPCMessage::messageWithType("unasked"));
    auto reply = VDIPCMessage::replyToMessage(request, "VDresponse");
    reply->setObject(request->objectForKey("n"), "n");
    reply->setObject(pf::Value(static_cast<std::int64_t>(oneWays.load())), "oneWays");
    if (type == "big") reply->setObject(pf::Value(pf::Data(64 * 1024, 0x42)), "blob");
    if (auto* service = gMachService.load()) {
        const auto child = reinterpret_cast<std::uintptr_t>(connection.get()) & 0x7fffffff;
        reply->setObject(pf::Value(static_cast<std::int64_t>(mostInFlight.load())), "mostInFlight");
        reply->setObject(pf::Value(static_cast<std::int64_t>(service->childCount())), "children");
        reply->setObject(pf::Value(static_cast<std::int64_t>(child)), "child");
    }
    connection->sendMessage(reply);
}

} // namespace

VT_CHILD_ROLE(echoService) {
    std::shared_ptr<VDIPCConnection> service;
    if (!arguments.empty() && arguments[0] == "mach") {
        service = VDIPCConnection::serviceConnnectionWithName(vt::kEchoService, nullptr, answer);
        gMachService = dynamic_cast<VDIPCConnectionMach*>(service.get());
    } else {
        service = VDIPCConnection::serviceConnectionWithXPCName(vt::kEchoService, nullptr, answer);
    }
    if (!service) return 2;
    for (;;) pf::RunLoop::main().runFor(3600);
}
