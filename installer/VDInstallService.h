#pragma once
// The installer's face to clients: "VDinstall" and "VDuninstall" requests,
// each answered by exactly one "VDresponse". The daemon's entry registers it
// before the application runs: a one-shot observer of the will-finish-launching
// notification adds the two handlers to the job server, and a lasting
// observer of "VDInstallDidInstallNotification" rewrites the alias file.
#include <memory>

class VDIPCMessage;

void VDInstallHandler(const std::shared_ptr<VDIPCMessage>& request);
void VDUninstallHandler(const std::shared_ptr<VDIPCMessage>& request);

// Adds the two observers; call once, before the application starts. (An
// explicit call rather than a static initializer: nothing guarantees that the
// linker keeps an object file of a static library that nobody calls.)
void VDRegisterInstallService();
