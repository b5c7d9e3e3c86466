// Installs through the daemon, started on demand by the launcher: sealed
// "VDinstall" requests for a small signed bundle, one after another to a warm
// daemon, and the first one to a daemon that is not running (cold start),
// each beside the same install done by the trusted installer in this process.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "bench/support/BenchSupport.h"
#include "bench/support/DaemonService.h"
#include "bench/support/RegisteredNames.h"
#include "bench/support/SignedBundles.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"

namespace {

struct Service {
    vb::ScratchDir scratch;
    std::unique_ptr<vb::SignedBundles> bundles; // sets the trusted keys before the launcher starts
    std::unique_ptr<vb::DaemonService> daemon;
    std::string root;
    std::string bundle;

    Service()
        : bundles(std::make_unique<vb::SignedBundles>(scratch.path())),
          daemon(std::make_unique<vb::DaemonService>(scratch)), root(daemon->folder() + "/root"),
          bundle(bundles->makePayloadBundle("Small.app", 4, 4096, "/Payload")) {}

    std::shared_ptr<VDIPCMessage> installRequest() const {
        auto request = VDIPCMessage::messageWithType("VDinstall");
        request->setObject(vb::directoryURLString(bundle), "VDurl");
        request->setObject(vb::directoryURLString(root), "VDroot");
        return request;
    }
};

vb::MadeOnFirstUse<Service> gService;
Service& service() { return gService.get(); }

// Sends one install request and waits for its reply; why it did not
// succeed in *why otherwise.
bool installThrough(const std::shared_ptr<VDIPCConnection>& connection, const std::shared_ptr<VDIPCMessage>& request,
                    std::string* why) {
    const auto reply = vb::exchange(connection, request, std::chrono::seconds(60));
    if (!reply) {
        *why = "no reply within 60 s";
        return false;
    }
    if (!*reply) {
        *why = "the connection failed";
        return false;
    }
    if (auto error = (*reply)->error()) {
        *why = "install failed: " + error->localizedDescription();
        return false;
    }
    return true;
}

void reportRate(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetLabel("counter=items_per_second");
}

constexpr const char* kNeedsRoot = "the daemon and its installs need root";

void BM_WarmRequests(benchmark::State& state) {
    if (!vb::requireRoot(state, kNeedsRoot)) return;
    Service& s = service();
    auto connection = vb::DaemonService::connect();
    std::string why;
    if (!connection || !installThrough(connection, s.installRequest(), &why)) { // starts the daemon
        state.SkipWithError(("no warm daemon: " + why).c_str());
        return;
    }
    if (vb::repeat(state, [&](std::string* why) { return installThrough(connection, s.installRequest(), why); }))
        reportRate(state);
}

void BM_InProcessInstalls(benchmark::State& state) {
    if (!vb::requireRoot(state, kNeedsRoot)) return;
    Service& s = service();
    if (vb::repeat(state, [&](std::string* why) { return vb::installInProcess(s.bundle, s.root, why); }))
        reportRate(state);
}

// The root is emptied before each install, so every one copies afresh.
void BM_ColdInstall(benchmark::State& state) {
    if (!vb::requireRoot(state, kNeedsRoot)) return;
    Service& s = service();
    std::shared_ptr<VDIPCConnection> connection;
    vb::repeat(
        state,
        [&](std::string* why) {
            vb::emptyDirectory(s.root);
            return (connection = s.daemon->connectCold(why)) != nullptr;
        },
        [&](std::string* why) { return installThrough(connection, s.installRequest(), why); });
}

void BM_OneInProcessInstall(benchmark::State& state) {
    if (!vb::requireRoot(state, kNeedsRoot)) return;
    Service& s = service();
    vb::repeat(
        state,
        [&](std::string*) {
            vb::emptyDirectory(s.root);
            return true;
        },
        [&](std::string* why) { return vb::installInProcess(s.bundle, s.root, why); });
}

BENCHMARK(BM_WarmRequests)->Name("install_requests_per_second")->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InProcessInstalls)->Name("install_requests_per_second/baseline")->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColdInstall)->Name("install_cold_start")->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneInProcessInstall)->Name("install_cold_start/baseline")->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    const int status = vb::runWithRegisteredNames(argc, argv);
    gService.end(); // the daemon, then the launcher
    return status;
}
