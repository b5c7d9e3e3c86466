#include "installer/VDTrustedInstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "installer/BOMFile.h"
#include "installer/BundleParent.h"
#include "installer/BundleSeal.h"
#include "installer/FailingURLError.h"
#include "installer/FileCalls.h"
#include "installer/InstallRootTree.h"
#include "installer/StagedCopy.h"
#include "installer/TargetLock.h"
#include "installer/TreeRemoval.h"
#include "installer/VDInstallBOM.h"
#include "installer/VDInstallResource.h"
#include "installer/VDUninstallResource.h"
#include "platform/dispatch/Queue.h"

namespace {

pf::Error fileError(int error, const pf::URL& target) { return pf::Error::fileError(error, target.path(), true); }

} // namespace

VDTrustedInstaller::VDTrustedInstaller(Passkey, pf::Value bom, pf::URL bomURL, pf::codesign::Sha256Digest bomDigest,
                                       pf::URL resourceRoot)
    : bom_(std::move(bom)), resourceRoot_(std::move(resourceRoot)), bomURL_(std::move(bomURL)),
      bomDigest_(bomDigest) {}

std::shared_ptr<VDTrustedInstaller> VDTrustedInstaller::installerWithBundle(const std::shared_ptr<pf::Bundle>& bundle) {
    if (!bundle) return nullptr;
    auto bomURL = VDInstallBOM::BOMURLForBundle(*bundle);
    if (!bomURL) return nullptr;
    return initWithBOMURL(*bomURL, bundle->bundleURL().directoryURL());
}

std::shared_ptr<VDTrustedInstaller> VDTrustedInstaller::initWithBOMURL(const pf::URL& bomURL,
                                                                       const pf::URL& resourceRoot) {
    // A BOM file that is a symlink is refused by the reader, as is one that
    // is unreadable or no property list; its content is judged later.
    auto contents = VDReadBOMFile(bomURL.path());
    if (!contents) return nullptr;
    return std::make_shared<VDTrustedInstaller>(Passkey(), std::move(contents->topLevel), bomURL, contents->sha256,
                                                resourceRoot);
}

pf::URL VDTrustedInstaller::installPathForURL(const pf::URL& url) const {
    if (!installRoot_) return url;
    std::string path = installRoot_->path();
    for (const std::string& component : url.pathComponents())
        if (component != "/") path += "/" + component;
    return *pf::URL::fileURLWithPath(pf::standardizePath("/" + path), url.hasDirectoryPath());
}

std::string VDTrustedInstaller::installRootPath() const {
    const std::string path = installRoot_ ? installRoot_->path() : std::string();
    return path.empty() ? "/" : path;
}

pf::Error VDTrustedInstaller::rootError(int code) const { return VDFailingURLError(code, resourceRoot_); }

std::shared_ptr<const VDBundleSeal> VDTrustedInstaller::validatedSeal() const {
    auto seal = VDBundleSeal::validate(resourceRoot_.path());
    if (!seal) return nullptr;
    // The dictionary was read at creation: it counts only when those bytes
    // are still the BOM the bundle seals (else the file could have been
    // swapped for the read and back for the check).
    const auto bomPath = VDPathBelow(resourceRoot_.path(), bomURL_.path());
    if (!bomPath || !seal->sealsContents(*bomPath, bomDigest_)) return nullptr;
    return seal;
}

std::optional<pf::URL> VDTrustedInstaller::destinationOf(const VDInstallResource& resource,
                                                        const std::optional<pf::URL>& defaultLocation) {
    if (resource.to() || !defaultLocation) return resource.to();
    const auto& from = resource.from();
    return from ? defaultLocation->URLByAppendingPathComponent(from->lastPathComponent(), from->hasDirectoryPath())
                : *defaultLocation;
}

std::vector<std::string> VDTrustedInstaller::targetPaths(const VDInstallBOM& bom, bool installing) const {
    std::vector<std::string> paths;
    if (installing) {
        for (const auto& resource : bom.installResources())
            if (auto destination = destinationOf(*resource, bom.defaultLocation()))
                paths.push_back(installPathForURL(*destination).path());
    }
    // An install removes the uninstall list only in a forced clean, and then not what it spares.
    if (!installing || bom.forceCleanInstall()) {
        for (const auto& resource : bom.uninstallResources())
            if (!installing || !resource->ignoreForcedClean())
                paths.push_back(installPathForURL(resource->path()).path());
    }
    return paths;
}

std::optional<pf::Error> VDTrustedInstaller::install() {
    auto seal = validatedSeal();
    if (!seal) return rootError(88);
    auto bom = VDInstallBOM::BOMWithDictionary(bom_, resourceRoot_);
    if (!bom) return rootError(22);
    const VDTargetLock lock(targetPaths(*bom, true));
    if (bom->forceCleanInstall()) {
        if (auto error = uninstallUsingBOM(*bom, true)) return error;
    }
    // Sources inside the bundle are opened beneath this descriptor; when it
    // cannot be had, they fail their validation one by one.
    vdfs::Opened bundle = vdfs::openAt(AT_FDCWD, resourceRoot_.path(), O_RDONLY | O_DIRECTORY);
    InstallRootTree tree(installRootPath());
    for (const auto& resource : bom->installResources()) {
        if (auto error = installResource(*resource, bom->defaultLocation(), tree, *seal, bundle.fd.get())) return error;
    }
    return std::nullopt;
}

std::optional<pf::Error> VDTrustedInstaller::installResource(const VDInstallResource& resource,
                                                             const std::optional<pf::URL>& defaultLocation,
                                                             InstallRootTree& tree, const VDBundleSeal& seal,
                                                             int bundleFd) {
    const std::optional<pf::URL> destination = destinationOf(resource, defaultLocation);
    // No target at all: touching the install root instead would be a guess.
    if (!destination) return VDFailingURLError(EDESTADDRREQ, resource.from() ? *resource.from() : resourceRoot_);
    const pf::URL target = installPathForURL(*destination);

    if (resource.from()) return copyResource(resource, *destination, tree, seal, bundleFd);
    // A directory entry: whatever is already there is left as it is.
    if (tree.exists(destination->path()) == 0) return std::nullopt;
    if (int error = tree.makeDirectories(destination->path())) return fileError(error, target);
    return std::nullopt;
}

std::optional<pf::Error> VDTrustedInstaller::copyResource(const VDInstallResource& resource,
                                                          const pf::URL& destination, InstallRootTree& tree,
                                                          const VDBundleSeal& seal, int bundleFd) {
    const pf::URL& from = *resource.from();
    const pf::URL target = installPathForURL(destination);
    // A source inside the bundle is read beneath it, through the bundle's
    // sealed folder links only, and held against its seal; one outside has
    // only its recorded identity to answer for it.
    const std::optional<std::string> belowRoot = VDPathBelow(resourceRoot_.path(), from.path());
    const bool inBundle = belowRoot.has_value();
    VDBundleParent inside;
    if (inBundle) {
        inside = VDOpenParentInBundle(bundleFd, *belowRoot, seal);
        if (inside.error) return VDFailingURLError(EPERM, from);
    }
    const std::optional<std::string> sealedPath = inBundle ? std::optional(inside.itemPath()) : std::nullopt;
    pf::UniqueFd source;
    pf::Error invalid;
    if (!resource.openValidatedSource(inBundle ? inside.folder.get() : -1, inside.leaf, source, &invalid))
        return invalid;
    if (observer_) observer_(resource);

    InstallRootTree::Parent parent = tree.parentOf(destination.path());
    if (parent.error) return fileError(parent.error, target);
    if (parent.leaf.empty()) return fileError(EBUSY, target); // the root itself is no target
    (void)VDRemoveTree(parent.folder.get(), parent.leaf);     // a missing target is normal

    VDStagedCopy::Source staging{source.get(), from.path(), sealedPath ? &seal : nullptr, sealedPath.value_or("")};
    // The target's owner, group and mask are set on the staged item, before
    // it has its name: the target appears with them, never without.
    const VDStagedCopy::Attributes attributes{resource.uid(), resource.gid(),
                                              static_cast<mode_t>(resource.mask() & 0xFFFF)};
    VDStagedCopy::Failure failure;
    auto staged = VDStagedCopy::stage(staging, parent.folder.get(), target.path(), attributes, &failure);
    if (!staged) {
        if (failure.topAttributesErrno) return VDFailingURLError(failure.topAttributesErrno, target);
        return failure.unsealed ? VDFailingURLError(EPERM, from) : failure.error;
    }
    // The copy read the validated descriptor; the name must still lead to it
    // too, or the source changed while it was being copied.
    if (!resource.validateAndReturnError(&invalid)) return invalid;
    if (int error = staged->commit(parent.leaf)) return fileError(error, target);
    return std::nullopt;
}

void VDTrustedInstaller::install(Completion completion) {
    auto self = shared_from_this();
    pf::dispatch::Queue::global()->async([self, completion = std::move(completion)] {
        std::optional<pf::Error> result = self->install();
        if (completion) pf::dispatch::Queue::main()->async([completion, result] { completion(result); });
    });
}
