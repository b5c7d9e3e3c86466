#pragma once
// The launcher's command line:
//   vicar-launcher [--jobs DIR] [--domain system|user] [--foreground] [--ready-fd N]
#include <optional>
#include <string>

#include "platform/launchd/JobDomain.h"

struct LauncherOptions {
    pf::launchd::Domain domain = pf::launchd::domainForCurrentProcess();
    std::string jobsFolder; // the domain's folder when not given
    bool foreground = false; // log lines go to standard error too
    int readyFd = -1;       // gets one byte, then is closed, once every socket listens
};

// nullopt with a message in *error for a bad command line; *help is set
// (and nullopt returned) for --help.
std::optional<LauncherOptions> parseLauncherOptions(int argc, char** argv, std::string* error, bool* help);

extern const char* const kLauncherUsage;
