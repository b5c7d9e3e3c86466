// The daemon through the launcher: a client's first send to its reply when
// the daemon is not running (cold start), beside the warm round trip of the
// same request to a running daemon, measured in the same run.
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench/support/BenchSupport.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "server/Seal.h"

namespace {

constexpr const char* kLabel = "com.vandrelsys.VolumeSmith.vicar";

struct Daemon {
    vb::ScratchDir scratch;
    std::string program;
    std::unique_ptr<vb::ChildProcess> launcher;

    Daemon() {
        const std::string dir = scratch.path();
        for (const char* sub : {"/services", "/jobs", "/keys", "/support"})
            std::filesystem::create_directory(dir + sub);
        ::chmod((dir + "/keys").c_str(), 0755);
        ::setenv("VICAR_SYSTEM_SERVICE_DIR", (dir + "/services").c_str(), 1);
        ::setenv("VICAR_SYSTEM_JOBS_DIR", (dir + "/jobs").c_str(), 1);
        ::setenv("VICAR_TRUSTED_KEYS_DIR", (dir + "/keys").c_str(), 1);
        ::setenv("VICAR_SHARED_SUPPORT_DIR", (dir + "/support").c_str(), 1);
        ::setenv("VICAR_CONSOLE_UID", "none", 1);
        // A copy of the daemon of its own, so that only it is ever stopped here.
        program = dir + "/vicar-bench-daemon";
        std::filesystem::copy_file(VICAR_BUILD_DIR "/tools/vicar", program);
        ::chmod(program.c_str(), 0755);
        vb::writeDaemonJob(dir + "/jobs", kLabel, program);
        launcher = std::make_unique<vb::ChildProcess>(std::vector<std::string>{
            VICAR_BUILD_DIR "/tools/vicar-launcher", "--jobs", dir + "/jobs", "--domain", "system"});
        vb::waitForSocket(dir + "/services/" + kLabel + ".sock");
        stop(); // the probe above may have started it
    }

    // Ends a running daemon and waits until it is gone.
    void stop() const {
        const std::string pattern = "'^" + program + "'";
        vb::shell("pkill -TERM -f " + pattern + " 2>/dev/null");
        while (vb::shell("pgrep -f " + pattern + " >/dev/null")) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
};

Daemon& daemon() {
    static Daemon* d = new Daemon();
    return *d;
}

// A sealed connection to the daemon, as the application makes it.
std::shared_ptr<VDIPCConnection> connect() {
    auto connection = VDIPCConnection::connectionWithXPCServiceName(kLabel, true);
    connection->setAerrorHandler(VDSealHook(kLabel));
    return connection;
}

// A request every daemon answers at once: an uninstall without a bundle URL.
bool roundTrip(const std::shared_ptr<VDIPCConnection>& connection) {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false, ok = false;
    connection->sendMessage(VDIPCMessage::messageWithType("VDuninstall"), [&](std::shared_ptr<VDIPCMessage> reply) {
        std::lock_guard lock(mutex);
        ok = reply && reply->type() == std::optional<std::string>("VDresponse");
        done = true;
        cv.notify_one();
    });
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
    return ok;
}

void BM_ColdStart(benchmark::State& state) {
    Daemon& d = daemon();
    for (auto _ : state) {
        state.PauseTiming();
        d.stop();
        auto connection = connect();
        state.ResumeTiming();
        if (!roundTrip(connection)) {
            state.SkipWithError("no reply from a cold daemon");
            break;
        }
    }
}

void BM_Warm(benchmark::State& state) {
    daemon();
    auto connection = connect();
    roundTrip(connection);
    for (auto _ : state) {
        if (!roundTrip(connection)) {
            state.SkipWithError("no reply from a warm daemon");
            break;
        }
    }
}

BENCHMARK(BM_ColdStart)->Name("server_first_reply_cold")->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Warm)->Name("server_first_reply_cold/baseline")->Iterations(500)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
