// Request/reply through the IPC library between two processes, over its XPC
// and its Mach transport, each beside a raw Unix-socket ping-pong of the same
// byte count in the same run, and the codec's throughput
// beside plain binary property-list writing and reading of the same entries.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/BenchSupport.h"
#include "bench/support/RegisteredNames.h"
#include "bench/support/SocketBytes.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/PropertyList.h"
#include "platform/mach/Bootstrap.h"
#include "platform/mach/BootstrapServer.h"
#include "platform/runloop/RunLoop.h"

namespace {

using vb::readFully;
using vb::writeFully;

constexpr const char* kService = "com.vandrelsys.bench.ipc";
constexpr const char* kMachService = "com.vandrelsys.bench.mach";

// A typical request: a type, a URL string and a small payload.
std::shared_ptr<VDIPCMessage> typicalRequest() {
    auto message = VDIPCMessage::messageWithType("VDinstall");
    message->setObject(pf::Value("file:///Applications/VolumeSmith.app/"), "VDurl");
    message->setObject(pf::Value("/Volumes/Target/"), "VDroot");
    message->setObject(pf::Value(pf::Data(64, 0x5a)), "VDpayload");
    return message;
}

// ---- serving roles (this program started again as a child) ----

void echo(std::shared_ptr<VDIPCMessage> request) {
    if (!request) return;
    auto reply = VDIPCMessage::replyToMessage(request, "VDresponse");
    reply->setObject(request->objectForKey("VDpayload"), "VDpayload");
    if (auto connection = request->connection()) connection->sendMessage(reply);
}

int serveIPC(bool mach) {
    auto service = mach ? VDIPCConnection::serviceConnnectionWithName(kMachService, nullptr, echo)
                        : VDIPCConnection::serviceConnectionWithXPCName(kService, nullptr, echo);
    if (!service) return 1;
    for (;;) pf::RunLoop::main().runFor(3600);
}

int serveRaw(const std::string& path) {
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ::unlink(path.c_str());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener, 64) != 0)
        return 1;
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::thread([client] {
            std::vector<char> buffer;
            std::uint32_t length = 0;
            while (readFully(client, &length, sizeof length)) {
                buffer.resize(length);
                if (!readFully(client, buffer.data(), length)) break;
                if (!writeFully(client, &length, sizeof length) || !writeFully(client, buffer.data(), length)) break;
            }
            ::close(client);
        }).detach();
    }
}

// ---- the client side ----

struct Environment {
    vb::ScratchDir scratch;
    std::string rawPath;
    std::unique_ptr<vb::ChildProcess> ipcServer;
    std::unique_ptr<vb::ChildProcess> rawServer;
    // The Mach service's name is served here, as the launcher would.
    std::unique_ptr<pf::mach::BootstrapServer> bootstrap;
    std::unique_ptr<vb::ChildProcess> machServer;
    std::size_t frameBytes = 0;

    Environment() {
        ::setenv("VICAR_SYSTEM_SERVICE_DIR", scratch.path().c_str(), 1);
        ::setenv("VICAR_USER_SERVICE_DIR", scratch.path().c_str(), 1);
        const std::string bootstrapPath = scratch.path() + "/bootstrap.sock";
        ::setenv(pf::mach::kBootstrapEnvironmentKey, bootstrapPath.c_str(), 1);
        bootstrap = pf::mach::BootstrapServer::start(bootstrapPath, nullptr, nullptr);
        auto anyone = [](const pf::xpc::PeerCredentials&) { return std::optional<std::string>(); };
        if (bootstrap) bootstrap->declare(kMachService, anyone, anyone);
        // Requests sent before it checks in wait in the port.
        machServer = std::make_unique<vb::ChildProcess>(std::vector<std::string>{"/proc/self/exe", "--serve-mach"});
        rawPath = scratch.path() + "/raw.sock";
        ipcServer = std::make_unique<vb::ChildProcess>(std::vector<std::string>{"/proc/self/exe", "--serve-ipc"});
        rawServer = std::make_unique<vb::ChildProcess>(std::vector<std::string>{"/proc/self/exe", "--serve-raw", rawPath});
        vb::waitForSocket(scratch.path() + "/" + kService + ".sock");
        vb::waitForSocket(rawPath);
        // The raw ping-pong carries what the transport carries: envelope plus frame header.
        auto probe = std::make_shared<VDIPCConnection>();
        frameBytes = probe->encodedMessage(typicalRequest())->size() + 24 + 64;
    }
};

// Ended by main() once every case ran, so neither server outlives the run.
vb::MadeOnFirstUse<Environment> gEnvironment;
Environment& environment() { return gEnvironment.get(); }

// One synchronous round trip per call.
class IPCClient {
public:
    explicit IPCClient(bool mach = false)
        : connection_(mach ? VDIPCConnection::connectionWithServiceName(kMachService)
                           : VDIPCConnection::connectionWithXPCServiceName(kService, ::geteuid() == 0)) {}
    bool roundTrip(const std::shared_ptr<VDIPCMessage>& request) {
        if (!connection_) return false;
        std::unique_lock lock(mutex_);
        done_ = false;
        ok_ = false;
        connection_->sendMessage(request, [this](std::shared_ptr<VDIPCMessage> reply) {
            std::lock_guard guard(mutex_);
            ok_ = reply != nullptr;
            done_ = true;
            cv_.notify_one();
        });
        cv_.wait(lock, [this] { return done_; });
        return ok_;
    }

private:
    std::shared_ptr<VDIPCConnection> connection_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    bool ok_ = false;
};

class RawClient {
public:
    RawClient(const std::string& path, std::size_t bytes) : buffer_(bytes, 'x') {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    ~RawClient() { ::close(fd_); }
    bool roundTrip() {
        std::uint32_t length = static_cast<std::uint32_t>(buffer_.size());
        return writeFully(fd_, &length, sizeof length) && writeFully(fd_, buffer_.data(), length) &&
               readFully(fd_, &length, sizeof length) && readFully(fd_, buffer_.data(), length);
    }

private:
    int fd_ = -1;
    std::string buffer_;
};

using Clock = std::chrono::steady_clock;

template <class RoundTrip>
void measureLatency(benchmark::State& state, RoundTrip&& roundTrip, const char* counter) {
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!roundTrip()) {
            state.SkipWithError("round trip failed");
            return;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    vb::reportPercentiles(state, samples, "us", counter);
}

void ipcLatency(benchmark::State& state, const char* counter, bool mach = false) {
    environment();
    IPCClient client(mach);
    auto request = typicalRequest();
    client.roundTrip(request); // connects
    measureLatency(state, [&] { return client.roundTrip(request); }, counter);
}

void rawLatency(benchmark::State& state, const char* counter) {
    RawClient client(environment().rawPath, environment().frameBytes);
    measureLatency(state, [&] { return client.roundTrip(); }, counter);
}

void BM_IPCMedian(benchmark::State& state) { ipcLatency(state, "p50_us"); }
void BM_RawMedian(benchmark::State& state) { rawLatency(state, "p50_us"); }
void BM_IPCP99(benchmark::State& state) { ipcLatency(state, "p99_us"); }
void BM_RawP99(benchmark::State& state) { rawLatency(state, "p99_us"); }
void BM_MachMedian(benchmark::State& state) { ipcLatency(state, "p50_us", true); }

// Requests per second with N clients, each doing synchronous round trips.
template <class MakeClient>
void throughput(benchmark::State& state, MakeClient&& makeClient) {
    const int clients = static_cast<int>(state.range(0));
    constexpr int kPerClient = 500;
    for (auto _ : state) {
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        for (int i = 0; i < clients; ++i) {
            threads.emplace_back([&] {
                auto roundTrip = makeClient();
                for (int n = 0; n < kPerClient; ++n) roundTrip();
            });
        }
        for (auto& t : threads) t.join();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
    }
    state.counters["requests_per_second"] =
        benchmark::Counter(static_cast<double>(clients) * kPerClient * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.SetLabel("counter=requests_per_second");
}

void ipcThroughput(benchmark::State& state, bool mach) {
    environment();
    throughput(state, [mach] {
        auto client = std::make_shared<IPCClient>(mach);
        auto request = typicalRequest();
        return [client, request] { return client->roundTrip(request); };
    });
}

void BM_IPCThroughput(benchmark::State& state) { ipcThroughput(state, false); }
void BM_MachThroughput(benchmark::State& state) { ipcThroughput(state, true); }

void BM_RawThroughput(benchmark::State& state) {
    throughput(state, [] {
        auto client = std::make_shared<RawClient>(environment().rawPath, environment().frameBytes);
        return [client] { return client->roundTrip(); };
    });
}

// Encoding to an envelope and decoding back into a message.
void BM_Codec(benchmark::State& state) {
    auto codec = std::make_shared<VDIPCConnection>();
    auto request = typicalRequest();
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto envelope = codec->encodedMessage(request);
        auto message = VDIPCMessage::initWithPacketData(codec->decodeMessage(envelope));
        benchmark::DoNotOptimize(message);
        bytes += envelope->size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetLabel("counter=items_per_second");
    benchmark::DoNotOptimize(bytes);
}

void BM_CodecBaseline(benchmark::State& state) {
    const pf::Dictionary entries = typicalRequest()->entries();
    for (auto _ : state) {
        auto bytes = pf::binaryPropertyList(pf::Value(entries));
        auto back = pf::propertyListFromBytes(*bytes);
        benchmark::DoNotOptimize(back);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetLabel("counter=items_per_second");
}

BENCHMARK(BM_IPCMedian)->Name("ipc_roundtrip_median")->Iterations(3000);
BENCHMARK(BM_RawMedian)->Name("ipc_roundtrip_median/baseline")->Iterations(3000);
BENCHMARK(BM_IPCP99)->Name("ipc_roundtrip_p99")->Iterations(3000);
BENCHMARK(BM_RawP99)->Name("ipc_roundtrip_p99/baseline")->Iterations(3000);
BENCHMARK(BM_IPCThroughput)->Name("ipc_requests_1_client")->Arg(1)->UseManualTime()->Iterations(3);
BENCHMARK(BM_RawThroughput)->Name("ipc_requests_1_client/baseline")->Arg(1)->UseManualTime()->Iterations(3);
BENCHMARK(BM_IPCThroughput)->Name("ipc_requests_8_clients")->Arg(8)->UseManualTime()->Iterations(3);
BENCHMARK(BM_RawThroughput)->Name("ipc_requests_8_clients/baseline")->Arg(8)->UseManualTime()->Iterations(3);
BENCHMARK(BM_MachMedian)->Name("mach_roundtrip_median")->Iterations(3000);
BENCHMARK(BM_RawMedian)->Name("mach_roundtrip_median/baseline")->Iterations(3000);
BENCHMARK(BM_MachThroughput)->Name("mach_requests_1_client")->Arg(1)->UseManualTime()->Iterations(3);
BENCHMARK(BM_RawThroughput)->Name("mach_requests_1_client/baseline")->Arg(1)->UseManualTime()->Iterations(3);
BENCHMARK(BM_MachThroughput)->Name("mach_requests_8_clients")->Arg(8)->UseManualTime()->Iterations(3);
BENCHMARK(BM_RawThroughput)->Name("mach_requests_8_clients/baseline")->Arg(8)->UseManualTime()->Iterations(3);
BENCHMARK(BM_Codec)->Name("ipc_encode_decode");
BENCHMARK(BM_CodecBaseline)->Name("ipc_encode_decode/baseline");

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--serve-ipc") == 0) return serveIPC(false);
    if (argc >= 2 && std::strcmp(argv[1], "--serve-mach") == 0) return serveIPC(true);
    if (argc >= 3 && std::strcmp(argv[1], "--serve-raw") == 0) return serveRaw(argv[2]);
    const int status = vb::runWithRegisteredNames(argc, argv);
    gEnvironment.end();
    return status;
}
