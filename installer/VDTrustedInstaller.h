#pragma once
// Performs, as the super-user, what a bundle's BOM describes: copies each
// listed item to its absolute destination (optionally below another root),
// with the owner, group and mode the BOM names, and removes what the BOM's
// uninstall section lists. The BOM dictionary is read once, at creation; it
// is parsed afresh on every operation, so each source's identity is taken
// just before the copying starts.
//
// Two cases the BOM format leaves open are decided here:
// - A resource with neither a destination of its own nor a default location
//   has no target. It is never created, copied or removed anywhere (the
//   install root is not its target either); the install stops at it with an
//   NSPOSIXErrorDomain error of code EDESTADDRREQ naming its source (or the
//   resource root for a directory entry).
// - The ownership walk gives a symlink found inside a copied tree the owner
//   and group itself (lchown); it never follows one, so nothing outside the
//   target changes.
// - Installs and uninstalls may still overlap in time, but those whose
//   targets overlap take turns (VDTargetLock): each then gives the outcome of
//   one serial order, which is one of the interleavings they could have had,
//   instead of one install's commit failing on another's fresh copy.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/codesign/Sha256.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

class VDBundleSeal;
class VDInstallBOM;
class VDInstallResource;
class InstallRootTree;

class VDTrustedInstaller : public std::enable_shared_from_this<VDTrustedInstaller> {
public:
    using Completion = std::function<void(std::optional<pf::Error> error)>;
    // Told about each copy entry whose source has just validated, before it
    // is copied (tests use it to change the source in that window).
    using SourceValidatedObserver = std::function<void(const VDInstallResource& resource)>;

    // nullptr when the bundle has no BOM file, or the BOM file is a symlink,
    // unreadable or no property list.
    static std::shared_ptr<VDTrustedInstaller> installerWithBundle(const std::shared_ptr<pf::Bundle>& bundle);
    static std::shared_ptr<VDTrustedInstaller> initWithBOMURL(const pf::URL& bomURL, const pf::URL& resourceRoot);

    const std::optional<pf::URL>& installRoot() const { return installRoot_; }
    void setInstallRoot(std::optional<pf::URL> root) { installRoot_ = std::move(root); }
    // The install root's path components followed by all of the URL's; the
    // URL unchanged without an install root.
    pf::URL installPathForURL(const pf::URL& url) const;

    // None on success, else the error that stopped the install; the first
    // failing resource stops it, earlier ones stay installed.
    std::optional<pf::Error> install();
    // Runs install() on the default global queue; the completion (when given)
    // runs once, on the main queue.
    void install(Completion completion);

    // Removes the BOM's uninstall paths in order (forced: leaving those
    // marked "IgnoreForced"). A missing path is no failure; any other failure
    // stops the pass.
    std::optional<pf::Error> uninstallUsingBOM(const VDInstallBOM& bom, bool forced);
    void uninstall(Completion completion);

    // Moves the bundle into the Trash of the user at the console; does
    // nothing when that cannot be done. The outcome is not reported.
    static void moveHostBundleToTrash(const pf::URL& bundleURL);

    void setSourceValidatedObserver(SourceValidatedObserver observer) { observer_ = std::move(observer); }

    struct Passkey {
        explicit Passkey() = default;
    };
    VDTrustedInstaller(Passkey, pf::Value bom, pf::URL bomURL, pf::codesign::Sha256Digest bomDigest,
                       pf::URL resourceRoot);

private:
    std::shared_ptr<const VDBundleSeal> validatedSeal() const;
    // Where a resource goes before the install root applies; none when it has no target.
    static std::optional<pf::URL> destinationOf(const VDInstallResource& resource,
                                                const std::optional<pf::URL>& defaultLocation);
    // The targets an install (or an uninstall) of the BOM may change, for the target lock.
    std::vector<std::string> targetPaths(const VDInstallBOM& bom, bool installing) const;
    std::string installRootPath() const;
    std::optional<pf::Error> installResource(const VDInstallResource& resource,
                                             const std::optional<pf::URL>& defaultLocation, InstallRootTree& tree,
                                             const VDBundleSeal& seal, int bundleFd);
    std::optional<pf::Error> copyResource(const VDInstallResource& resource, const pf::URL& target,
                                          InstallRootTree& tree, const VDBundleSeal& seal, int bundleFd);
    pf::Error rootError(int code) const;

    pf::Value bom_;
    pf::URL resourceRoot_;
    std::optional<pf::URL> installRoot_;
    // What the BOM was read from and the digest of its bytes: the dictionary
    // is only trusted while the bundle's seal holds those very bytes.
    pf::URL bomURL_;
    pf::codesign::Sha256Digest bomDigest_;
    SourceValidatedObserver observer_;
};
