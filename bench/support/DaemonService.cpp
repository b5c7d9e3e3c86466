#include "bench/support/DaemonService.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "server/Seal.h"

namespace vb {
namespace {

using Clock = std::chrono::steady_clock;

// The daemon's job description (label, its one service, the program, root,
// "TimeOut" 60 s) as <jobs>/<label>.plist, for the launcher.
void writeDaemonJob(const std::string& jobs, const std::string& label, const std::string& program) {
    std::ofstream(jobs + "/" + label + ".plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>Label</key><string>" << label << "</string>"
           "<key>MachServices</key><dict><key>" << label << "</key><true/></dict>"
           "<key>ProgramArguments</key><array><string>" << program << "</string></array>"
           "<key>UserName</key><string>root</string><key>TimeOut</key><integer>60</integer>"
           "</dict></plist>\n";
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

// True while the process runs (a zombie has no executable any more).
bool running(pid_t pid) {
    char target[PATH_MAX];
    return ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target) > 0;
}

// Waits until every process running `program` has left, killing those still
// there after 10 s; false then.
bool allLeft(const std::vector<pid_t>& pids) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    bool left = true;
    for (pid_t pid : pids) {
        while (running(pid) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (running(pid)) {
            ::kill(pid, SIGKILL);
            left = false;
        }
    }
    return left;
}

const char* const kResponder = VICAR_BUILD_DIR "/bench/vicar-bench-responder";

} // namespace

DaemonService::DaemonService(const ScratchDir& scratch)
    : folder_(scratch.path()), program_(folder_ + "/bin/vicar-bench-daemon"), pristine_(folder_ + "/bin/vicar-pristine") {
    for (const char* sub : {"/bin", "/services", "/jobs", "/support", "/root"})
        std::filesystem::create_directory(folder_ + sub);
    ::chmod((folder_ + "/services").c_str(), 0755);
    ::setenv("VICAR_SYSTEM_SERVICE_DIR", (folder_ + "/services").c_str(), 1);
    ::setenv("VICAR_SYSTEM_JOBS_DIR", (folder_ + "/jobs").c_str(), 1);
    ::setenv("VICAR_SHARED_SUPPORT_DIR", (folder_ + "/support").c_str(), 1);
    ::setenv("VICAR_CONSOLE_UID", "none", 1);
    // A copy of the daemon of its own: only processes running it are ever stopped here.
    std::filesystem::copy_file(VICAR_BUILD_DIR "/tools/vicar", pristine_);
    restoreProgram();
    writeDaemonJob(folder_ + "/jobs", kLabel, program_);
    writeDaemonJob(folder_ + "/jobs", kResponderLabel, kResponder);
    launcher_ = startLauncher(folder_ + "/jobs", folder_ + "/launcher.log");
    if (!waitForSocket(folder_ + "/services/" + kLabel + ".sock"))
        throw std::runtime_error("the launcher did not open the service socket");
    stopDaemon(); // the probe above may have started it
}

DaemonService::~DaemonService() {
    stopDaemon();
    if (launcher_ > 0) {
        ::kill(launcher_, SIGTERM);
        int status = 0;
        ::waitpid(launcher_, &status, 0);
    }
}

void DaemonService::restoreProgram() const {
    const std::string fresh = program_ + ".new";
    std::filesystem::copy_file(pristine_, fresh, std::filesystem::copy_options::overwrite_existing);
    ::chmod(fresh.c_str(), 0755);
    std::filesystem::rename(fresh, program_);
}

bool DaemonService::stopDaemon() const {
    const std::vector<pid_t> pids = processesRunning(program_);
    if (pids.empty()) return true;
    if (auto connection = connect())
        exchange(connection, VDIPCMessage::messageWithType("removeSelf_"), std::chrono::seconds(10));
    const bool left = allLeft(pids);
    restoreProgram();
    return left;
}

bool DaemonService::responderGone() const { return allLeft(processesRunning(kResponder)); }

std::shared_ptr<VDIPCConnection> DaemonService::connect(const char* label) {
    auto connection = VDIPCConnection::connectionWithXPCServiceName(label, true);
    if (connection) connection->setAerrorHandler(VDSealHook(label));
    return connection;
}

std::shared_ptr<VDIPCConnection> DaemonService::connectCold(std::string* why, const char* label) const {
    const bool responder = std::string_view(label) == kResponderLabel;
    if (!(responder ? responderGone() : stopDaemon())) {
        *why = responder ? "the responder did not leave" : "the daemon did not leave";
        return nullptr;
    }
    auto connection = connect(label);
    if (!connection) *why = "no connection to the service";
    return connection;
}

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

} // namespace vb
