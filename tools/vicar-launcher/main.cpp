// vicar-launcher: starts on-demand jobs when a client connects to one of
// their services (see Launcher.h).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "tools/vicar-launcher/Launcher.h"
#include "tools/vicar-launcher/Options.h"

namespace {

// Descriptors 0-2 must be taken before any socket is made, or a socket
// could land there and be handed to a child as its standard input.
void keepStandardDescriptors() {
    for (int fd = 0; fd < 3; ++fd)
        if (::fcntl(fd, F_GETFD) < 0) {
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) ::close(null);
        }
}

} // namespace

int main(int argc, char** argv) {
    keepStandardDescriptors();
    std::string error;
    bool help = false;
    auto options = parseLauncherOptions(argc, argv, &error, &help);
    if (help) {
        std::fputs(kLauncherUsage, stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "vicar-launcher: %s\n%s", error.c_str(), kLauncherUsage);
        return 2;
    }
    // The ready descriptor is ours alone; no child may keep it open.
    if (options->readyFd >= 0 && ::fcntl(options->readyFd, F_SETFD, FD_CLOEXEC) < 0) {
        std::fprintf(stderr, "vicar-launcher: --ready-fd %d is not an open descriptor\n", options->readyFd);
        return 2;
    }
    Launcher launcher(std::move(*options));
    return launcher.run();
}
