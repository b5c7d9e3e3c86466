// The daemon through the launcher: a client's first send to its reply when
// the daemon is not running (cold start), beside the same launcher starting
// the minimal responder for one reply, measured in the same run; and the warm
// round trip of the same request to a running daemon.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "bench/support/BenchSupport.h"
#include "bench/support/DaemonService.h"
#include "bench/support/RegisteredNames.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"

namespace {

struct Service {
    vb::ScratchDir scratch;
    vb::DaemonService daemon{scratch};
};

vb::MadeOnFirstUse<Service> gService;
Service& service() { return gService.get(); }

// A request every daemon answers at once: an uninstall without a bundle URL.
// Why there was no "VDresponse" in *why otherwise.
bool roundTrip(const std::shared_ptr<VDIPCConnection>& connection, std::string* why) {
    const auto reply = vb::exchange(connection, VDIPCMessage::messageWithType("VDuninstall"), std::chrono::seconds(30));
    if (!reply) *why = "no reply within 30 s";
    else if (!*reply) *why = "the connection failed";
    else if ((*reply)->type() != std::optional<std::string>("VDresponse")) *why = "a reply that is not a response";
    else return true;
    return false;
}

constexpr const char* kNeedsRoot = "the daemon needs root";

// The responder echoes the request, so any reply is its answer.
bool anyReply(const std::shared_ptr<VDIPCConnection>& connection, std::string* why) {
    const auto reply = vb::exchange(connection, VDIPCMessage::messageWithType("VDuninstall"), std::chrono::seconds(30));
    *why = "no reply from the responder";
    return reply && *reply;
}

// A cold request to the job under the label: it is started by the send.
using Exchange = bool (*)(const std::shared_ptr<VDIPCConnection>&, std::string*);
void coldRoundTrips(benchmark::State& state, const char* label, Exchange exchange) {
    if (!vb::requireRoot(state, kNeedsRoot)) return;
    Service& s = service();
    std::shared_ptr<VDIPCConnection> connection;
    vb::repeat(
        state,
        [&](std::string* why) { return (connection = s.daemon.connectCold(why, label)) != nullptr; },
        [&](std::string* why) { return exchange(connection, why); });
}

void BM_ColdStart(benchmark::State& state) { coldRoundTrips(state, vb::DaemonService::kLabel, roundTrip); }
void BM_ColdResponder(benchmark::State& state) {
    coldRoundTrips(state, vb::DaemonService::kResponderLabel, anyReply);
}

void BM_Warm(benchmark::State& state) {
    if (!vb::requireRoot(state, kNeedsRoot)) return;
    service();
    auto connection = vb::DaemonService::connect();
    std::string why;
    if (!connection || !roundTrip(connection, &why)) { // starts the daemon
        state.SkipWithError(("no warm daemon: " + why).c_str());
        return;
    }
    vb::repeat(state, [&](std::string* why) { return roundTrip(connection, why); });
}

BENCHMARK(BM_ColdStart)->Name("server_first_reply_cold")->Iterations(30)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColdResponder)->Name("server_first_reply_cold/baseline")->Iterations(30)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Warm)->Name("server_warm_reply")->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    const int status = vb::runWithRegisteredNames(argc, argv);
    gService.end(); // the daemon, then the launcher
    return status;
}
