// Installs through the daemon, started on demand by the launcher: sealed
// "VDinstall" requests for a small signed bundle, one after another to a warm
// daemon, and the first one to a daemon that is not running (cold start),
// each beside the same install done by the trusted installer in this process.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/BenchSupport.h"
#include "bench/support/RegisteredNames.h"
#include "bench/support/SignedBundles.h"
#include "installer/VDTrustedInstaller.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/URL.h"
#include "server/Seal.h"

namespace {

constexpr const char* kLabel = "com.vandrelsys.VolumeSmith.vicar";
using Clock = std::chrono::steady_clock;

// The pids of running processes whose executable is the file at `program`.
std::vector<pid_t> processesRunning(const std::string& program) {
    std::vector<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (!proc) return pids;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        char target[PATH_MAX];
        const std::string link = std::string("/proc/") + entry->d_name + "/exe";
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == program) pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return pids;
}

// The launcher on the jobs folder, its output in the log file. It ends with
// this process even when this one dies, so no launcher outlives a run.
pid_t startLauncher(const std::string& jobs, const std::string& logPath) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ::setenv("VICAR_LOG_STDERR", "1", 1); // the launcher's and its daemons' lines go to the log
    if (log >= 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
    }
    const char* program = VICAR_BUILD_DIR "/tools/vicar-launcher";
    ::execl(program, program, "--jobs", jobs.c_str(), "--domain", "system", static_cast<char*>(nullptr));
    ::_exit(127);
}

struct Service {
    vb::ScratchDir scratch;
    std::string program = scratch.path() + "/bin/vicar-bench-daemon";
    std::string pristine = scratch.path() + "/bin/vicar-pristine";
    std::string root = scratch.path() + "/root";
    std::string bundle;
    std::unique_ptr<vb::SignedBundles> bundles;
    std::string log = scratch.path() + "/launcher.log";
    pid_t launcher = -1;

    Service() {
        const std::string dir = scratch.path();
        for (const char* sub : {"/bin", "/services", "/jobs", "/support", "/root"})
            std::filesystem::create_directory(dir + sub);
        ::chmod((dir + "/services").c_str(), 0755);
        // Set before the launcher starts: the daemon inherits them.
        bundles = std::make_unique<vb::SignedBundles>(dir);
        ::setenv("VICAR_SYSTEM_SERVICE_DIR", (dir + "/services").c_str(), 1);
        ::setenv("VICAR_SYSTEM_JOBS_DIR", (dir + "/jobs").c_str(), 1);
        ::setenv("VICAR_SHARED_SUPPORT_DIR", (dir + "/support").c_str(), 1);
        ::setenv("VICAR_CONSOLE_UID", "none", 1);
        bundle = bundles->makePayloadBundle("Small.app", 4, 4096, "/Payload");
        // A copy of the daemon of its own: only processes running it are ever stopped here.
        std::filesystem::copy_file(VICAR_BUILD_DIR "/tools/vicar", pristine);
        restoreProgram();
        vb::writeDaemonJob(dir + "/jobs", kLabel, program);
        launcher = startLauncher(dir + "/jobs", log);
        if (!vb::waitForSocket(dir + "/services/" + kLabel + ".sock"))
            throw std::runtime_error("the launcher did not open the service socket");
        stopDaemon(); // the probe above may have started it
    }

    ~Service() {
        stopDaemon();
        if (launcher > 0) {
            ::kill(launcher, SIGTERM);
            int status = 0;
            ::waitpid(launcher, &status, 0);
        }
    }

    // Makes a running daemon leave and waits until it is gone; the launcher
    // starts a new one on the next connection. Asked by "removeSelf_", it
    // deletes its executable and exits cleanly (a killed daemon would count
    // as a failing job, which the launcher throttles); the executable is then
    // put back. Only when it does not leave is it killed, by its pid.
    bool stopDaemon() const;
    void restoreProgram() const {
        const std::string fresh = program + ".new";
        std::filesystem::copy_file(pristine, fresh, std::filesystem::copy_options::overwrite_existing);
        ::chmod(fresh.c_str(), 0755);
        std::filesystem::rename(fresh, program);
    }

    std::shared_ptr<VDIPCMessage> installRequest() const {
        auto request = VDIPCMessage::messageWithType("VDinstall");
        request->setObject(vb::directoryURLString(bundle), "VDurl");
        request->setObject(vb::directoryURLString(root), "VDroot");
        return request;
    }
};

std::unique_ptr<Service>& serviceSlot() {
    static std::unique_ptr<Service> slot;
    return slot;
}

Service& service() {
    auto& slot = serviceSlot();
    if (!slot) slot = std::make_unique<Service>();
    return *slot;
}

std::shared_ptr<VDIPCConnection> connect() {
    auto connection = VDIPCConnection::connectionWithXPCServiceName(kLabel, true);
    if (connection) connection->setAerrorHandler(VDSealHook(kLabel));
    return connection;
}

// Sends the message and waits for the reply handler: nullopt when it was not
// called in time, else the reply (nullptr when the connection ended instead).
std::optional<std::shared_ptr<VDIPCMessage>> exchange(const std::shared_ptr<VDIPCConnection>& connection,
                                                      const std::shared_ptr<VDIPCMessage>& message,
                                                      std::chrono::seconds watchdog) {
    struct Slot {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        std::shared_ptr<VDIPCMessage> reply;
    };
    // Shared with the handler: after a timeout it may still run.
    auto slot = std::make_shared<Slot>();
    connection->sendMessage(message, [slot](std::shared_ptr<VDIPCMessage> reply) {
        std::lock_guard lock(slot->mutex);
        slot->reply = std::move(reply);
        slot->done = true;
        slot->cv.notify_one();
    });
    std::unique_lock lock(slot->mutex);
    if (!slot->cv.wait_for(lock, watchdog, [&] { return slot->done; })) return std::nullopt;
    return slot->reply;
}

// Sends one install request and waits for its reply; why it did not
// succeed in *why otherwise.
bool installThrough(const std::shared_ptr<VDIPCConnection>& connection, const std::shared_ptr<VDIPCMessage>& request,
                    std::string* why) {
    const auto reply = exchange(connection, request, std::chrono::seconds(60));
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

// True while the process runs (a zombie has no executable any more).
bool running(pid_t pid) {
    char target[PATH_MAX];
    return ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target) > 0;
}

bool Service::stopDaemon() const {
    const std::vector<pid_t> pids = processesRunning(program);
    if (pids.empty()) return true;
    if (auto connection = connect()) exchange(connection, VDIPCMessage::messageWithType("removeSelf_"), std::chrono::seconds(10));
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    bool left = true;
    for (pid_t pid : pids) {
        while (running(pid) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (running(pid)) {
            ::kill(pid, SIGKILL);
            left = false;
        }
    }
    restoreProgram();
    return left;
}

bool installInProcess(const Service& s, std::string* why) {
    auto installer = VDTrustedInstaller::installerWithBundle(pf::Bundle::bundleWithPath(s.bundle));
    if (!installer) {
        *why = "the bundle has no readable BOM";
        return false;
    }
    installer->setInstallRoot(pf::URL::fileURLWithPath(s.root, true));
    if (auto error = installer->install()) {
        *why = "install failed: " + error->localizedDescription();
        return false;
    }
    return true;
}

bool requireRoot(benchmark::State& state) {
    if (::geteuid() == 0) return true;
    state.SkipWithError("the daemon and its installs need root");
    return false;
}

void reportRate(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetLabel("counter=items_per_second");
}

void BM_WarmRequests(benchmark::State& state) {
    if (!requireRoot(state)) return;
    Service& s = service();
    auto connection = connect();
    const auto request = s.installRequest();
    std::string why;
    if (!connection || !installThrough(connection, s.installRequest(), &why)) { // starts the daemon
        state.SkipWithError(("no warm daemon: " + why).c_str());
        return;
    }
    for (auto _ : state) {
        if (!installThrough(connection, s.installRequest(), &why)) {
            state.SkipWithError(why.c_str());
            return;
        }
    }
    reportRate(state);
}

void BM_InProcessInstalls(benchmark::State& state) {
    if (!requireRoot(state)) return;
    Service& s = service();
    std::string why;
    for (auto _ : state) {
        if (!installInProcess(s, &why)) {
            state.SkipWithError(why.c_str());
            return;
        }
    }
    reportRate(state);
}

void BM_ColdInstall(benchmark::State& state) {
    if (!requireRoot(state)) return;
    Service& s = service();
    std::string why;
    for (auto _ : state) {
        state.PauseTiming();
        vb::emptyDirectory(s.root);
        if (!s.stopDaemon()) {
            state.SkipWithError("the daemon did not leave");
            return;
        }
        auto connection = connect();
        auto request = s.installRequest();
        state.ResumeTiming();
        if (!connection || !installThrough(connection, request, &why)) {
            state.SkipWithError(("cold daemon: " + why).c_str());
            return;
        }
    }
}

void BM_OneInProcessInstall(benchmark::State& state) {
    if (!requireRoot(state)) return;
    Service& s = service();
    std::string why;
    for (auto _ : state) {
        state.PauseTiming();
        vb::emptyDirectory(s.root);
        state.ResumeTiming();
        if (!installInProcess(s, &why)) {
            state.SkipWithError(why.c_str());
            return;
        }
    }
}

BENCHMARK(BM_WarmRequests)->Name("install_requests_per_second")->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InProcessInstalls)->Name("install_requests_per_second/baseline")->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColdInstall)->Name("install_cold_start")->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneInProcessInstall)->Name("install_cold_start/baseline")->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    const int status = vb::runWithRegisteredNames(argc, argv);
    serviceSlot().reset(); // the daemon, then the launcher
    return status;
}
