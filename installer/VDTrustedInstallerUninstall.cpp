#include <cerrno>

#include "installer/BundleSeal.h"
#include "installer/InstallRootTree.h"
#include "installer/TargetLock.h"
#include "installer/VDInstallBOM.h"
#include "installer/VDTrustedInstaller.h"
#include "installer/VDUninstallResource.h"
#include "platform/dispatch/Queue.h"

std::optional<pf::Error> VDTrustedInstaller::uninstallUsingBOM(const VDInstallBOM& bom, bool forced) {
    InstallRootTree tree(installRootPath());
    for (const auto& resource : bom.uninstallResources()) {
        if (forced && resource->ignoreForcedClean()) continue;
        // Removal never follows a symlink: a link at the path (or anywhere
        // inside a removed folder) is unlinked itself.
        const int error = tree.remove(resource->path().path());
        // Nothing there (never installed, or a folder on the way is missing
        // or a file) is what removing wants.
        if (error == 0 || error == ENOENT || error == ENOTDIR) continue;
        return pf::Error::fileError(error, installPathForURL(resource->path()).path(), true);
    }
    return std::nullopt;
}

void VDTrustedInstaller::uninstall(Completion completion) {
    auto self = shared_from_this();
    pf::dispatch::Queue::global()->async([self, completion = std::move(completion)] {
        std::optional<pf::Error> result;
        if (!self->validatedSeal()) {
            result = self->rootError(88);
        } else if (auto bom = VDInstallBOM::BOMWithDictionary(self->bom_, self->resourceRoot_)) {
            const VDTargetLock lock(self->targetPaths(*bom, false));
            result = self->uninstallUsingBOM(*bom, false);
        } else {
            result = self->rootError(22);
        }
        if (completion) pf::dispatch::Queue::main()->async([completion, result] { completion(result); });
    });
}
