#pragma once
// The installer's face to clients: "VDinstall" and "VDuninstall" requests,
// each answered by exactly one "VDresponse". Registered by static
// initializers before main: a one-shot observer of the will-finish-launching
// notification adds the two handlers to the job server, and a lasting
// observer of "VDInstallDidInstallNotification" rewrites the alias file.
#include <memory>

class VDIPCMessage;

void VDInstallHandler(const std::shared_ptr<VDIPCMessage>& request);
void VDUninstallHandler(const std::shared_ptr<VDIPCMessage>& request);

// Referenced by the daemon's entry so that the linker keeps the registration.
extern const bool kVDInstallServiceRegistered;
