// Connection set-up plus first reply when peers are admitted by uid and by a
// signed client bundle (first and repeated connection of the same
// executable), each beside the same with a rule that admits everybody.
#include <sys/stat.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "bench/support/BenchSupport.h"
#include "bench/support/RegisteredNames.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCConnectionXPC.h"
#include "ipc/VDIPCMessage.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/foundation/NotificationCenter.h"
#include "server/Seal.h"
#include "server/VDClientRequirement.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kService = "com.vandrelsys.VolumeSmith.vicar";

// The requirement in force; nullptr admits everybody.
std::shared_ptr<VDClientRequirement> gRequirement;
std::mutex gRequirementLock;

void require(std::shared_ptr<VDClientRequirement> requirement) {
    std::lock_guard lock(gRequirementLock);
    gRequirement = std::move(requirement);
}

struct Service {
    vb::ScratchDir scratch;
    std::shared_ptr<VDIPCConnection> connection;
    std::string key;
    int bundles = 0;

    Service() {
        const std::string dir = scratch.path();
        ::chmod(dir.c_str(), 0755);
        for (const char* sub : {"/services", "/keys"}) fs::create_directory(dir + sub);
        ::setenv("VICAR_SYSTEM_SERVICE_DIR", (dir + "/services").c_str(), 1);
        ::setenv("VICAR_TRUSTED_KEYS_DIR", (dir + "/keys").c_str(), 1);
        std::string why;
        pf::codesign::generateKeyPair(dir + "/keys/bench", &why);
        fs::rename(dir + "/keys/bench.key", dir + "/bench.key");
        key = dir + "/bench.key";

        // The admission goes in before the listener is resumed, as the job server does it.
        pf::NotificationCenter::defaultCenter().addObserver(
            "VDIPCServiceConnectionWillStartNotification", nullptr, [](const pf::Notification& note) {
                auto object = std::const_pointer_cast<VDIPCConnection>(
                    std::static_pointer_cast<const VDIPCConnection>(note.object));
                auto xpc = std::dynamic_pointer_cast<VDIPCConnectionXPC>(object);
                if (!xpc) return;
                xpc->setPeerAdmission([](const pf::xpc::PeerCredentials& peer) -> std::optional<std::string> {
                    std::shared_ptr<VDClientRequirement> requirement;
                    {
                        std::lock_guard lock(gRequirementLock);
                        requirement = gRequirement;
                    }
                    return requirement ? requirement->refusalReason(peer) : std::nullopt;
                });
            });
        connection = VDIPCConnection::serviceConnectionWithXPCName(kService, nullptr, [](std::shared_ptr<VDIPCMessage> m) {
            if (!m || !m->connection()) return;
            m->connection()->sendMessage(VDIPCMessage::replyToMessage(m, "VDresponse"));
        });
        connection->setAerrorHandler(VDSealHook(kService));
        vb::waitForSocket(dir + "/services/" + kService + ".sock");
    }

    // A fresh signed client bundle holding a copy of the client executable.
    std::string signedClient() {
        const std::string bundle = scratch.path() + "/VolumeSmith" + std::to_string(++bundles) + ".app";
        fs::create_directories(bundle + "/Contents/MacOS");
        std::ofstream(bundle + "/Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>com.vandrelsys.VolumeSmith2</string></dict></plist>\n";
        const std::string exe = bundle + "/Contents/MacOS/VolumeSmith";
        fs::copy_file(VICAR_BUILD_DIR "/tools/vicarctl", exe);
        ::chmod(exe.c_str(), 0755);
        std::string why;
        pf::codesign::signBundle(bundle, key, &why);
        return exe;
    }
};

// Never destroyed (its listener may still be served while the program
// exits); main() removes its folder, with the signed bundles, at the end.
Service* gService = nullptr;
Service& service() {
    if (!gService) gService = new Service();
    return *gService;
}

// ---- in-process clients, admitted by uid ----

bool firstReply() {
    auto connection = VDIPCConnection::connectionWithXPCServiceName(kService, true);
    connection->setAerrorHandler(VDSealHook(kService));
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false, ok = false;
    connection->sendMessage(VDIPCMessage::messageWithType("VDuninstall"), [&](std::shared_ptr<VDIPCMessage> reply) {
        std::lock_guard lock(mutex);
        ok = reply != nullptr;
        done = true;
        cv.notify_one();
    });
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
    connection->close();
    return ok;
}

void connectAndReply(benchmark::State& state, std::shared_ptr<VDClientRequirement> requirement) {
    service();
    require(std::move(requirement));
    for (auto _ : state) {
        if (!firstReply()) {
            state.SkipWithError("refused");
            break;
        }
    }
    state.SetLabel("");
}

void BM_Uid(benchmark::State& state) { connectAndReply(state, VDClientRequirement::fromRules(pf::Value(pf::Array{"uid 0"}))); }
void BM_UidBaseline(benchmark::State& state) { connectAndReply(state, nullptr); }

// ---- the client executable of a signed bundle, a process per connection ----

bool runClient(const std::string& exe) {
    vb::ChildProcess client({exe, "uninstall", "/nonexistent/Missing.app"});
    int status = 0;
    ::waitpid(client.pid(), &status, 0);
    client.forget();
    return WIFEXITED(status) && WEXITSTATUS(status) <= 1; // a reply came (ok or an error reply)
}

void signedClient(benchmark::State& state, bool admitEverybody, bool freshExecutable) {
    Service& s = service();
    require(admitEverybody ? nullptr
                           : VDClientRequirement::fromRules(pf::Value(pf::Array{"signed com.vandrelsys.VolumeSmith2"})));
    std::string exe = s.signedClient();
    for (auto _ : state) {
        if (freshExecutable) {
            state.PauseTiming();
            exe = s.signedClient(); // a new inode: never checked before
            state.ResumeTiming();
        }
        if (!runClient(exe)) {
            state.SkipWithError("no reply");
            break;
        }
    }
}

void BM_SignedFirst(benchmark::State& state) { signedClient(state, false, true); }
void BM_SignedFirstBaseline(benchmark::State& state) { signedClient(state, true, true); }
void BM_SignedRepeated(benchmark::State& state) { signedClient(state, false, false); }
void BM_SignedRepeatedBaseline(benchmark::State& state) { signedClient(state, true, false); }

BENCHMARK(BM_Uid)->Name("auth_uid_connect_first_reply")->Unit(benchmark::kMicrosecond)->Iterations(500);
BENCHMARK(BM_UidBaseline)->Name("auth_uid_connect_first_reply/baseline")->Unit(benchmark::kMicrosecond)->Iterations(500);
BENCHMARK(BM_SignedFirst)->Name("auth_signed_first_connection")->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_SignedFirstBaseline)->Name("auth_signed_first_connection/baseline")->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_SignedRepeated)->Name("auth_signed_repeated_connection")->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_SignedRepeatedBaseline)->Name("auth_signed_repeated_connection/baseline")->Unit(benchmark::kMillisecond)->Iterations(30);

} // namespace

int main(int argc, char** argv) {
    const int status = vb::runWithRegisteredNames(argc, argv);
    std::error_code ignored;
    if (gService) fs::remove_all(gService->scratch.path(), ignored);
    return status;
}
