#include "tools/vicar-launcher/Options.h"

#include <charconv>
#include <cstring>
#include <string_view>

const char* const kLauncherUsage =
    "usage: vicar-launcher [--jobs DIR] [--domain system|user] [--foreground] [--ready-fd N]\n"
    "  Holds the service socket of every Mach service of the jobs in DIR (default: the\n"
    "  domain's jobs folder) and starts a job's ProgramArguments when a client connects,\n"
    "  handing the sockets over by socket activation (LISTEN_FDS).\n"
    "  --foreground   copy log lines to standard error\n"
    "  --ready-fd N   write one byte to descriptor N (and close it) once every socket listens\n";

std::optional<LauncherOptions> parseLauncherOptions(int argc, char** argv, std::string* error, bool* help) {
    LauncherOptions options;
    *help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                *error = std::string(arg) + " needs a value";
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            *help = true;
            return std::nullopt;
        } else if (arg == "--foreground") {
            options.foreground = true;
        } else if (arg == "--jobs") {
            const char* v = value();
            if (!v) return std::nullopt;
            if (!*v) {
                *error = "--jobs needs a folder";
                return std::nullopt;
            }
            options.jobsFolder = v;
        } else if (arg == "--domain") {
            const char* v = value();
            if (!v) return std::nullopt;
            if (std::strcmp(v, "system") == 0) {
                options.domain = pf::launchd::Domain::System;
            } else if (std::strcmp(v, "user") == 0) {
                options.domain = pf::launchd::Domain::User;
            } else {
                *error = "--domain is system or user, not \"" + std::string(v) + "\"";
                return std::nullopt;
            }
        } else if (arg == "--ready-fd") {
            const char* v = value();
            if (!v) return std::nullopt;
            const std::string_view text = v;
            int fd = -1;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), fd);
            if (ec != std::errc() || end != text.data() + text.size() || fd < 0) {
                *error = "--ready-fd needs a descriptor number, not \"" + std::string(text) + "\"";
                return std::nullopt;
            }
            options.readyFd = fd;
        } else {
            *error = "unknown argument \"" + std::string(arg) + "\"";
            return std::nullopt;
        }
    }
    if (options.jobsFolder.empty()) options.jobsFolder = pf::launchd::jobsDirectory(options.domain);
    return options;
}
