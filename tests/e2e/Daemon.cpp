#include "tests/e2e/Daemon.h"

#include "tests/support/ChildRole.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/PropertyList.h"
#include "server/Seal.h"

extern char** environ;

namespace vt {
namespace {

std::vector<char*> cArray(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> all;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq) all[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& [k, v] : extra) all[k] = v;
    std::vector<std::string> out;
    for (const auto& [k, v] : all) out.push_back(k + "=" + v);
    return out;
}

std::string tool(const std::string& name) { return buildDir() + "/tools/" + name; }

void writePlist(const std::string& path, const pf::Value& value) {
    auto xml = pf::xmlPropertyList(value);
    if (!xml) throw std::runtime_error("not a property list");
    writeFile(path, *xml);
}

} // namespace

std::string toolPath(const std::string& name) { return tool(name); }

CommandResult runCommand(const std::vector<std::string>& argvIn, const std::map<std::string, std::string>& env,
                         int watchdogSeconds) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv = argvIn;
    std::vector<std::string> envStrings = mergedEnvironment(env);
    auto cArgv = cArray(argv);
    auto cEnv = cArray(envStrings);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(cArgv[0], cArgv.data(), cEnv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    CommandResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(watchdogSeconds);
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

DaemonFixture::DaemonFixture() : DaemonFixture(Options{}) {}

DaemonFixture::DaemonFixture(Options options) : dir_("vicar-e2e"), options_(std::move(options)) {
    ::chmod(dir_.path().c_str(), 0755);
    for (const char* sub : {"bin", "services", "jobs", "daemon-jobs", "keys", "private", "support", "root"})
        std::filesystem::create_directories(dir_ / sub);
    ::chmod((dir_ / "services").c_str(), 0755);
    ::chmod((dir_ / "keys").c_str(), 0755);
    std::filesystem::copy_file(buildDir() + "/tools/vicar", daemonPath());
    ::chmod(daemonPath().c_str(), 0755);

    pf::Dictionary job{
        {"Label", "com.vandrelsys.VolumeSmith.vicar"},
        {"MachServices", pf::Dictionary{{"com.vandrelsys.VolumeSmith.vicar", true}}},
        {"ProgramArguments", pf::Array{daemonPath()}},
        {"UserName", "root"},
        {"GroupName", "wheel"},
        {"RunAtLoad", false},
        {"KeepAlive", false},
    };
    if (options_.timeOut) job["TimeOut"] = *options_.timeOut;
    writePlist(dir_ / "jobs/com.vandrelsys.VolumeSmith.vicar.plist", pf::Value(job));
    if (options_.daemonProgramArguments) job["ProgramArguments"] = *options_.daemonProgramArguments;
    writePlist(dir_ / "daemon-jobs/com.vandrelsys.VolumeSmith.vicar.plist", pf::Value(job));

    const auto keygen = runCommand({tool("vicar-sign"), "keygen", dir_ / "private/test"});
    if (keygen.status != 0) throw std::runtime_error("vicar-sign keygen failed: " + keygen.err);
    std::filesystem::copy_file(dir_ / "private/test.pub", dir_ / "keys/test.pub");

    logPath_ = dir_ / "launcher.log";
    env_ = {
        {"VICAR_SYSTEM_SERVICE_DIR", dir_ / "services"},
        {"VICAR_SYSTEM_JOBS_DIR", dir_ / "daemon-jobs"},
        {"VICAR_TRUSTED_KEYS_DIR", dir_ / "keys"},
        {"VICAR_SHARED_SUPPORT_DIR", dir_ / "support"},
        {"VICAR_CONSOLE_UID", "none"},
        {"VICAR_LOG_STDERR", "1"},
    };
}

DaemonFixture::~DaemonFixture() { stopLauncher(); }

void DaemonFixture::startLauncher() {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv = {tool("vicar-launcher"), "--jobs", dir_ / "jobs", "--domain", "system",
                                     "--ready-fd", "3"};
    std::vector<std::string> envStrings = mergedEnvironment(env_);
    auto cArgv = cArray(argv);
    auto cEnv = cArray(envStrings);
    std::fflush(nullptr);
    launcher_ = ::fork();
    if (launcher_ == 0) {
        const int logFd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        ::dup2(ready[1], 3);
        ::execve(cArgv[0], cArgv.data(), cEnv.data());
        ::_exit(127);
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    const int n = ::poll(&p, 1, 20000);
    ::close(ready[0]);
    if (n != 1) throw std::runtime_error("the launcher did not become ready: " + log());
}

void DaemonFixture::stopLauncher() {
    if (launcher_ <= 0) return;
    ::kill(launcher_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(launcher_, &status, WNOHANG) == launcher_) {
            launcher_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(launcher_, SIGKILL);
    ::waitpid(launcher_, &status, 0);
    launcher_ = -1;
}

std::string DaemonFixture::log() const { return readFile(logPath_); }

int DaemonFixture::countInLog(const std::string& fragment) const {
    const std::string text = log();
    int count = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++count;
    return count;
}

bool DaemonFixture::waitForLog(const std::string& fragment, int count, int watchdogSeconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(watchdogSeconds);
    while (countInLog(fragment) < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<pid_t> DaemonFixture::daemonPids() const {
    std::vector<pid_t> pids;
    static const std::regex started(R"(started com\.vandrelsys\.VolumeSmith\.vicar.*pid (\d+))");
    const std::string text = log();
    for (std::sregex_iterator it(text.begin(), text.end(), started), end; it != end; ++it)
        pids.push_back(static_cast<pid_t>(std::stol((*it)[1])));
    return pids;
}

CommandResult DaemonFixture::client(const std::vector<std::string>& arguments, int watchdogSeconds) const {
    std::vector<std::string> argv = {tool("vicarctl")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, env_, watchdogSeconds);
}

std::string DaemonFixture::makeBundle(const std::string& name, const std::map<std::string, std::string>& files,
                                      const pf::Value& bom, bool signIt) const {
    const std::string bundle = dir_ / name;
    writePlist(bundle + "/Contents/Info.plist",
               pf::Value(pf::Dictionary{{"CFBundleIdentifier", "com.example." + name}, {"CFBundleName", name}}));
    for (const auto& [relative, content] : files) writeFile(bundle + "/" + relative, content);
    if (!bom.isNull()) writePlist(bundle + "/Contents/Resources/BOM.plist", bom);
    if (signIt) sign(bundle);
    return bundle;
}

void DaemonFixture::sign(const std::string& bundle) const {
    const auto result = runCommand({tool("vicar-sign"), "sign", "--key", privateKey(), bundle});
    if (result.status != 0) throw std::runtime_error("vicar-sign sign failed: " + result.err);
}

// The sender runs in a fresh process of this program (a child role), as the
// application would: its own queues, its own connection.
VT_CHILD_ROLE(sendRawRequest) {
    // arguments: request plist (XML: {"type", "entries"}), reply file
    auto request = pf::propertyListFromBytes(arguments.at(0));
    if (!request || !request->isDictionary()) return 9;
    auto connection = VDIPCConnection::connectionWithXPCServiceName("com.vandrelsys.VolumeSmith.vicar", true);
    if (!connection) return 10;
    connection->setAerrorHandler(VDSealHook("com.vandrelsys.VolumeSmith.vicar"));
    auto message = VDIPCMessage::messageWithType(request->find("type")->string());
    for (const auto& [k, v] : request->find("entries")->dictionary()) message->setObject(v, k);
    auto done = std::make_shared<Event>();
    auto reply = std::make_shared<std::shared_ptr<VDIPCMessage>>();
    connection->sendMessage(message, [done, reply](std::shared_ptr<VDIPCMessage> m) {
        *reply = std::move(m);
        done->signal();
    });
    if (!done->wait(std::chrono::seconds(30)) || !*reply) return 11;
    pf::Dictionary out{{"replied", true}};
    if (auto error = (*reply)->error()) {
        out["domain"] = error->domain();
        out["code"] = error->code();
        out["reason"] = error->localizedFailureReason();
    }
    auto xml = pf::xmlPropertyList(pf::Value(out));
    if (!xml) return 12;
    writeFile(arguments.at(1), *xml);
    return 0;
}

DaemonFixture::RawReply DaemonFixture::sendRaw(const std::string& type, const pf::Dictionary& entries) const {
    auto request = pf::xmlPropertyList(pf::Value(pf::Dictionary{{"type", type}, {"entries", entries}}));
    if (!request) throw std::runtime_error("the request is no property list");
    const std::string replyFile = dir_ / ("reply-" + std::to_string(++rawRequests_) + ".plist");
    for (const auto& [k, v] : env_) ::setenv(k.c_str(), v.c_str(), 1);
    ChildRole sender("sendRawRequest", {*request, replyFile});
    const int status = sender.wait(std::chrono::seconds(60));
    RawReply result;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return result;
    auto value = pf::propertyListFromBytes(readFile(replyFile));
    if (!value || !value->isDictionary()) return result;
    result.replied = true;
    if (const pf::Value* d = value->find("domain")) result.domain = d->string();
    if (const pf::Value* c = value->find("code")) result.code = c->integer();
    if (const pf::Value* r = value->find("reason")) result.reason = r->string();
    return result;
}

} // namespace vt
