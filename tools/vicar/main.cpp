// The daemon: com.vandrelsys.VolumeSmith.vicar. Started on demand by the
// service manager; everything it does happens in its application class and
// the handlers registered with it before launch.
#include "app/ApplicationMain.h"
#include "installer/VDInstallService.h"
#include "server/VDSMJobServer.h"

int main(int argc, char** argv) {
    VDRegisterInstallService();
    return VDApplicationMain<VDSMJobServer>(argc, argv);
}
