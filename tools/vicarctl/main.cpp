// vicarctl: the daemon's client for operators and tests. Speaks to the
// service as the application does (sealed "VDinstall", "VDuninstall" and
// "removeSelf_" messages over the system-domain service) and waits for the
// reply, for a bounded time: the daemon drops a message of a type it does not
// know without answering it.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "installer/InstallErrorText.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "server/Seal.h"
#include "tools/vicarctl/Json.h"

namespace {

constexpr const char* kDefaultService = "com.vandrelsys.VolumeSmith.vicar";

const char* const kHelp = R"(usage: vicarctl [options] COMMAND [ARGS]

Commands (each waits for the daemon's reply):
  install BUNDLE [--root DIR]   install what the bundle's BOM lists; with --root every
                                destination is placed below DIR instead of "/"
  uninstall BUNDLE [--host]     remove what the bundle's BOM lists for uninstalling; with
                                --host the bundle itself then moves to the console user's Trash
  remove-self                   ask the daemon to delete its executable and exit
  send TYPE                     send a message of that type with no entries (does the
                                daemon know the type? one it does not know gets no reply)

Options:
  --json              print the reply's entries and error as one JSON object
  --service NAME      service name (default com.vandrelsys.VolumeSmith.vicar)
  --user              use the per-user service domain instead of the system domain
  --timeout SECONDS   wait this long for the reply (default 600: longer than any install
                      should take), then give up with status 2
  --help              this text

Output and status:
  ok                                                       status 0: the request succeeded
  error: DOMAIN CODE REASON-OR-DESCRIPTION FAILING-URL     status 1: the reply carried an error
  (a line on standard error)                               status 2: no reply came (the
                                                           connection failed, the daemon died,
                                                           or none came within --timeout)
remove-self has no reply: the daemon leaves, which ends the connection; that is its success.
)";

struct Options {
    std::string command;
    std::string bundle;
    std::optional<std::string> root;
    bool host = false;
    bool json = false;
    bool user = false;
    std::string service = kDefaultService;
    double timeoutSeconds = 600;
    std::string type; // of send
};

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr, "vicarctl: %s\n(see vicarctl --help)\n", problem);
    std::exit(64);
}

std::string absoluteDirectoryURL(const std::string& path) {
    std::error_code ec;
    const std::string absolute = std::filesystem::absolute(path, ec).lexically_normal().string();
    auto url = pf::URL::fileURLWithPath(absolute.empty() ? path : absolute, true);
    if (!url) usage("not a usable path");
    return url->absoluteString();
}

Options parse(int argc, char** argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value for " + a).c_str());
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--user") {
            o.user = true;
        } else if (a == "--host") {
            o.host = true;
        } else if (a == "--root") {
            o.root = value();
        } else if (a == "--service") {
            o.service = value();
        } else if (a == "--timeout") {
            const std::string text = value();
            char* end = nullptr;
            o.timeoutSeconds = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(o.timeoutSeconds > 0 && o.timeoutSeconds <= 1e6))
                usage("--timeout takes a number of seconds above 0 (at most 1000000)");
        } else if (!a.empty() && a[0] == '-') {
            usage(("unknown option " + a).c_str());
        } else {
            positional.push_back(a);
        }
    }
    if (positional.empty()) usage("no command");
    o.command = positional[0];
    if (o.command == "install" || o.command == "uninstall") {
        if (positional.size() != 2) usage("expected exactly one BUNDLE");
        o.bundle = positional[1];
    } else if (o.command == "remove-self") {
        if (positional.size() != 1) usage("remove-self takes no arguments");
    } else if (o.command == "send") {
        if (positional.size() != 2) usage("expected exactly one TYPE");
        o.type = positional[1];
    } else {
        usage(("unknown command " + o.command).c_str());
    }
    if (o.root && o.command != "install") usage("--root belongs to install");
    if (o.host && o.command != "uninstall") usage("--host belongs to uninstall");
    return o;
}

std::shared_ptr<VDIPCMessage> buildRequest(const Options& o) {
    if (o.command == "remove-self") return VDIPCMessage::messageWithType("removeSelf_");
    if (o.command == "send") return VDIPCMessage::messageWithType(o.type);
    auto request = VDIPCMessage::messageWithType(o.command == "install" ? "VDinstall" : "VDuninstall");
    request->setObject(absoluteDirectoryURL(o.bundle), "VDurl");
    if (o.root) request->setObject(absoluteDirectoryURL(*o.root), "VDroot");
    if (o.host) request->setObject(true, "VDuninstallHost");
    return request;
}

std::string failingURL(const pf::Error& error) {
    auto it = error.userInfo().find(pf::NSURLErrorFailingURLStringErrorKey);
    if (it == error.userInfo().end()) return "-";
    if (const pf::URL* url = it->second.url()) return url->absoluteString();
    return it->second.description();
}

int report(const Options& o, const std::shared_ptr<VDIPCMessage>& reply) {
    const auto error = reply->error();
    if (o.json) {
        std::puts(vicarctl::replyToJson(*reply).c_str());
    } else if (!error) {
        std::puts("ok");
    } else {
        std::string reason = error->localizedFailureReason();
        if (reason.empty()) reason = VDInstallErrorDescription(*error);
        std::printf("error: %s %lld %s %s\n", error->domain().c_str(), static_cast<long long>(error->code()),
                    reason.c_str(), failingURL(*error).c_str());
    }
    return error ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    auto connection = VDIPCConnection::connectionWithXPCServiceName(o.service, !o.user);
    if (!connection) {
        std::fprintf(stderr, "vicarctl: cannot connect to %s\n", o.service.c_str());
        return 2;
    }
    connection->setAerrorHandler(VDSealHook(o.service));

    std::mutex mutex;
    std::condition_variable cv;
    bool answered = false;
    std::shared_ptr<VDIPCMessage> reply;
    connection->sendMessage(buildRequest(o), [&](std::shared_ptr<VDIPCMessage> message) {
        std::lock_guard lock(mutex);
        reply = std::move(message);
        answered = true;
        cv.notify_all();
    });
    std::unique_lock lock(mutex);
    const bool arrived = cv.wait_for(lock, std::chrono::duration<double>(o.timeoutSeconds), [&] { return answered; });
    if (o.command == "remove-self") {
        // No reply is ever sent: the connection ending is the daemon leaving.
        if (!arrived) {
            std::fprintf(stderr, "vicarctl: the daemon did not leave\n");
            return 2;
        }
        std::puts(o.json ? "{}" : "ok");
        return 0;
    }
    if (!arrived) {
        std::fprintf(stderr,
                     "vicarctl: no reply from %s within %g s (timed out; the daemon answers no message of a type "
                     "it does not know, and --timeout sets the wait)\n",
                     o.service.c_str(), o.timeoutSeconds);
        return 2;
    }
    if (!reply) {
        std::fprintf(stderr, "vicarctl: no reply from %s (the connection failed or the daemon died)\n",
                     o.service.c_str());
        return 2;
    }
    return report(o, reply);
}
