// The daemon: com.vandrelsys.VolumeSmith.vicar. Started on demand by the
// service manager; everything it does happens in its application class and
// the handlers registered with it before launch.
#include <cstdio>

#include "app/ApplicationMain.h"
#include "installer/VDInstallService.h"
#include "server/VDSMJobServer.h"
#include "support/confinement/Confinement.h"

int main(int argc, char** argv) {
    // Before any client byte is read: a daemon that cannot confine itself
    // does not serve (VICAR_NO_CONFINEMENT=1 turns this off for debugging).
    if (const std::string error = vd::confinement::confineSelf(); !error.empty()) {
        std::fprintf(stderr, "cannot confine the daemon: %s\n", error.c_str());
        return 1;
    }
    VDRegisterInstallService();
    return VDApplicationMain<VDSMJobServer>(argc, argv);
}
