#include "tests/e2e/Daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/PropertyList.h"
#include "platform/system/UniqueFd.h"
#include "server/Seal.h"
#include "tests/support/ChildRole.h"

extern char** environ;

namespace vt {
namespace {

// Forks and runs argv with the environment plus `extra`; outputs[i] becomes
// the child's descriptor i + 1. A watchdog of 0 sets no alarm.
pid_t spawn(std::vector<std::string> argv, const std::map<std::string, std::string>& extra,
            const std::vector<int>& outputs, int watchdogSeconds = 0) {
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : extra) envStrings.push_back(k + "=" + v);
    for (char** e = environ; *e; ++e)
        if (!extra.count(std::string(*e, std::strcspn(*e, "=")))) envStrings.push_back(*e);
    std::vector<char*> cArgv, cEnv;
    for (auto& s : argv) cArgv.push_back(s.data());
    for (auto& s : envStrings) cEnv.push_back(s.data());
    cArgv.push_back(nullptr);
    cEnv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        for (std::size_t i = 0; i < outputs.size(); ++i) ::dup2(outputs[i], static_cast<int>(i + 1));
        ::alarm(static_cast<unsigned>(watchdogSeconds)); // an alarm outlives execve
        ::execve(cArgv[0], cArgv.data(), cEnv.data());
        ::_exit(127);
    }
    return pid;
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void writePlist(const std::string& path, const pf::Value& value) {
    auto xml = pf::xmlPropertyList(value);
    if (!xml) throw std::runtime_error("not a property list");
    writeFile(path, *xml);
}

} // namespace

std::string toolPath(const std::string& name) { return buildDir() + "/tools/" + name; }

CommandResult runCommand(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         int watchdogSeconds) {
    const pf::UniqueFd out(::memfd_create("out", MFD_CLOEXEC)), err(::memfd_create("err", MFD_CLOEXEC));
    if (!out || !err) throw std::runtime_error("memfd_create");
    const int status = reap(spawn(argv, env, {out.get(), err.get()}, watchdogSeconds));
    auto captured = [](const pf::UniqueFd& fd) { return readFile("/proc/self/fd/" + std::to_string(fd.get())); };
    return {status, captured(out), captured(err)};
}

DaemonFixture::DaemonFixture(int timeOut) : dir_("vicar-e2e") {
    for (const char* sub : {"bin", "services", "jobs", "keys", "private", "support", "root"})
        std::filesystem::create_directories(dir_ / sub);
    // Unprivileged clients reach the socket and the trusted keys.
    for (const std::string& folder : {dir_.path(), dir_ / "services", dir_ / "keys"}) ::chmod(folder.c_str(), 0755);
    std::filesystem::copy_file(toolPath("vicar"), daemonPath());
    ::chmod(daemonPath().c_str(), 0755);

    pf::Dictionary job{{"Label", kLabel}, {"MachServices", pf::Dictionary{{kLabel, true}}},
                       {"ProgramArguments", pf::Array{daemonPath()}}, {"UserName", "root"}, {"GroupName", "wheel"},
                       {"RunAtLoad", false}, {"KeepAlive", false}, {"TimeOut", timeOut}};
    writePlist(dir_ / "jobs/com.vandrelsys.VolumeSmith.vicar.plist", pf::Value(job));

    const auto keygen = runCommand({toolPath("vicar-sign"), "keygen", dir_ / "private/test"});
    if (keygen.status != 0) throw std::runtime_error("vicar-sign keygen failed: " + keygen.err);
    std::filesystem::copy_file(dir_ / "private/test.pub", dir_ / "keys/test.pub");

    env_ = {
        {"VICAR_SYSTEM_SERVICE_DIR", dir_ / "services"}, {"VICAR_SYSTEM_JOBS_DIR", dir_ / "jobs"},
        {"VICAR_TRUSTED_KEYS_DIR", dir_ / "keys"},       {"VICAR_SHARED_SUPPORT_DIR", dir_ / "support"},
        {"VICAR_CONSOLE_UID", "none"},                    {"VICAR_LOG_STDERR", "1"},
    };
}

void DaemonFixture::start(const std::vector<std::string>& argv, const std::string& readyLine) {
    const int logFd = ::open((dir_ / "launcher.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    launcher_ = spawn(argv, env_, {logFd, logFd});
    ::close(logFd);
    if (!waitForLog(readyLine)) throw std::runtime_error(argv[0] + " did not become ready: " + log());
}

void DaemonFixture::startLauncher() {
    start({toolPath("vicar-launcher"), "--jobs", dir_ / "jobs", "--domain", "system"}, "ready: ");
}

void DaemonFixture::startSocketActivated(const std::string& tool) {
    std::vector<std::string> argv = {tool, "--listen=" + socketPath(), std::string("--fdname=") + kLabel};
    // The tool hands its children only the variables it is told to.
    for (const auto& [k, v] : env_) argv.push_back("--setenv=" + k + "=" + v);
    if (const char* asan = std::getenv("ASAN_OPTIONS")) argv.push_back(std::string("--setenv=ASAN_OPTIONS=") + asan);
    argv.push_back(daemonPath());
    start(argv, "Listening on");
}

DaemonFixture::~DaemonFixture() {
    if (launcher_ <= 0) return;
    // A launcher that does not stop within the watchdog is killed.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, launcher_, 0));
    ::kill(launcher_, SIGTERM);
    pollfd p{pidfd, POLLIN, 0};
    if (pidfd < 0 || ::poll(&p, 1, 10000) != 1) ::kill(launcher_, SIGKILL);
    if (pidfd >= 0) ::close(pidfd);
    reap(launcher_);
}

std::string DaemonFixture::log() const { return readFile(dir_ / "launcher.log"); }

int DaemonFixture::countInLog(const std::string& fragment) const { return occurrences(log(), fragment); }

bool DaemonFixture::waitForLog(const std::string& fragment, int count) const {
    return runMainLoopUntil([&] { return countInLog(fragment) >= count; }, std::chrono::seconds(20));
}

std::vector<pid_t> daemonPidsInLog(const std::string& log) {
    std::vector<pid_t> pids;
    static const std::regex started(R"(started com\.vandrelsys\.VolumeSmith\.vicar.*pid (\d+))");
    for (std::sregex_iterator it(log.begin(), log.end(), started), end; it != end; ++it)
        pids.push_back(static_cast<pid_t>(std::stol((*it)[1])));
    return pids;
}

CommandResult DaemonFixture::client(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv = {toolPath("vicarctl")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, env_);
}

std::string DaemonFixture::makeBundle(const std::string& name, const std::map<std::string, std::string>& files,
                                      const pf::Value& bom) const {
    const std::string bundle = dir_ / name;
    writePlist(bundle + "/Contents/Info.plist",
               pf::Value(pf::Dictionary{{"CFBundleIdentifier", "com.example." + name}, {"CFBundleName", name}}));
    for (const auto& [relative, content] : files) writeFile(bundle + "/" + relative, content);
    if (!bom.isNull()) writePlist(bundle + "/Contents/Resources/BOM.plist", bom);
    sign(bundle);
    return bundle;
}

void DaemonFixture::sign(const std::string& bundle) const {
    const auto result = runCommand({toolPath("vicar-sign"), "sign", "--key", dir_ / "private/test.key", bundle});
    if (result.status != 0) throw std::runtime_error("vicar-sign sign failed: " + result.err);
}

// The sender runs in a fresh process of this program, as the application
// would: its own queues, its own connection.
VT_CHILD_ROLE(sendRawRequest) {
    // arguments: request plist (XML: {"type", "entries"}), reply file
    auto request = pf::propertyListFromBytes(arguments.at(0));
    auto connection = connectSealed();
    if (!request || !request->isDictionary() || !connection) return 10;
    auto message = VDIPCMessage::messageWithType(request->find("type")->string());
    for (const auto& [k, v] : request->find("entries")->dictionary()) message->setObject(v, k);
    auto done = std::make_shared<Event>();
    auto reply = std::make_shared<std::shared_ptr<VDIPCMessage>>();
    connection->sendMessage(message, [done, reply](std::shared_ptr<VDIPCMessage> m) {
        *reply = std::move(m);
        done->signal();
    });
    if (!done->wait(std::chrono::seconds(30)) || !*reply) return 11;
    const auto error = (*reply)->error();
    writeFile(arguments.at(1), error ? error->domain() + " " + std::to_string(error->code()) + " " +
                                           error->localizedFailureReason()
                                     : "ok");
    return 0;
}

std::shared_ptr<VDIPCConnection> connectSealed(const std::string& seal) {
    auto connection = VDIPCConnection::connectionWithXPCServiceName(kLabel, true);
    if (connection && !seal.empty()) connection->setAerrorHandler(VDSealHook(seal));
    return connection;
}

void DaemonFixture::exportEnvironment() const {
    for (const auto& [k, v] : env_) ::setenv(k.c_str(), v.c_str(), 1);
}

std::string DaemonFixture::sendRaw(const std::string& type, const pf::Dictionary& entries) const {
    auto request = pf::xmlPropertyList(pf::Value(pf::Dictionary{{"type", type}, {"entries", entries}}));
    if (!request) throw std::runtime_error("the request is no property list");
    const std::string replyFile = dir_ / ("reply-" + std::to_string(++rawRequests_) + ".plist");
    exportEnvironment();
    ChildRole sender("sendRawRequest", {*request, replyFile});
    const int status = sender.wait(std::chrono::seconds(60));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? readFile(replyFile) : "no reply";
}

} // namespace vt
