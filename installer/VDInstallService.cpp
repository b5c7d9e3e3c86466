#include "installer/VDInstallService.h"

#include "app/ExceptionGuard.h"
#include "foundation_ext/ExceptionCallStack.h"
#include "installer/AliasFile.h"
#include "installer/VDTrustedInstaller.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "server/VDSMJobServer.h"

namespace {

constexpr const char* kDidInstallNotification = "VDInstallDidInstallNotification";

[[noreturn]] void failCheck(int checkNumber) {
    pf::raise(pf::NSInvalidArgumentException, pf::format("nil @ %d!", checkNumber));
}

void sendReply(const std::shared_ptr<VDIPCMessage>& request, const std::shared_ptr<VDIPCMessage>& reply) {
    // A client whose connection died meanwhile cannot be answered.
    if (auto connection = request->connection()) connection->sendMessage(reply);
}

pf::URL requiredURL(const std::shared_ptr<VDIPCMessage>& request, int checkNumber) {
    const pf::Value value = request->objectForKey("VDurl");
    if (value.isNull()) failCheck(checkNumber);
    auto url = pf::URL::URLWithString(value.string()); // a non-string raises, as the platform does
    if (!url) failCheck(checkNumber);
    return *url;
}

pf::Error requestError(const pf::Exception& failure) {
    return pf::Error(pf::NSURLErrorDomain, -1015, {{pf::NSLocalizedFailureReasonErrorKey, failure.reason()}});
}

} // namespace

void VDInstallHandler(const std::shared_ptr<VDIPCMessage>& request) {
    auto reply = VDIPCMessage::replyToMessage(request, "VDresponse");
    try {
        const pf::URL url = requiredURL(request, 21);
        auto bundle = pf::Bundle::bundleWithURL(url);
        if (!bundle) failCheck(24);
        auto installer = VDTrustedInstaller::installerWithBundle(bundle);
        if (!installer) failCheck(31);
        if (const pf::Value root = request->objectForKey("VDroot"); !root.isNull())
            installer->setInstallRoot(pf::URL::URLWithString(root.string()));
        installer->install([installer, request, reply, url](std::optional<pf::Error> error) {
            if (error) {
                reply->setError(error);
            } else {
                VDGuard(42, [&] {
                    pf::NotificationCenter::defaultCenter().post(kDidInstallNotification, nullptr,
                                                                 {{"VDurl", pf::Value(url)}});
                });
            }
            sendReply(request, reply);
        });
    } catch (const pf::Exception& failure) {
        reply->setError(requestError(failure));
        sendReply(request, reply);
        VDLogException("installHandler__block_invoke", 59, failure);
    }
}

void VDUninstallHandler(const std::shared_ptr<VDIPCMessage>& request) {
    auto reply = VDIPCMessage::replyToMessage(request, "VDresponse");
    try {
        const pf::URL url = requiredURL(request, 69);
        auto bundle = pf::Bundle::bundleWithURL(url);
        if (!bundle) failCheck(72);
        const pf::Value host = request->objectForKey("VDuninstallHost");
        const bool moveHost = !host.isNull() && host.boolValue();
        auto installer = VDTrustedInstaller::installerWithBundle(bundle);
        if (!installer) failCheck(80);
        installer->uninstall([installer, request, reply, url, moveHost](std::optional<pf::Error> error) {
            if (error)
                reply->setError(error);
            else if (moveHost)
                VDTrustedInstaller::moveHostBundleToTrash(url);
            sendReply(request, reply);
        });
    } catch (const pf::Exception& failure) {
        reply->setError(requestError(failure));
        sendReply(request, reply);
    }
}

namespace {

void writeAlias(const pf::Notification& note) {
    VDApplication* app = VDApplication::shared();
    if (!app) return;
    // Backup exclusion has no counterpart on Linux; the folder is simply used.
    const std::string folder = app->sharedApplicationSupportPath();
    const pf::Value* value = note.userInfo.count("VDurl") ? &note.userInfo.at("VDurl") : nullptr;
    const pf::URL* installed = value ? value->url() : nullptr;
    if (folder.empty() || !installed) return;
    auto directory = pf::URL::fileURLWithPath(installed->path(), true);
    if (!directory || !pf::Bundle::bundleWithURL(*directory)) return;
    auto bookmark = VDBookmarkDataForURL(*directory);
    if (!bookmark) return;
    VDWriteAliasFile(folder, *bookmark); // failures of the alias are reported to nobody
}

} // namespace

void VDRegisterInstallService() {
    auto& center = pf::NotificationCenter::defaultCenter();
    auto once = std::make_shared<pf::NotificationCenter::ObserverHandle>();
    *once = center.addObserver("NSApplicationWillFinishLaunchingNotification", nullptr,
                               [once](const pf::Notification&) {
                                   if (VDSMJobServer* server = VDSMJobServer::server()) {
                                       server->setHandler(VDInstallHandler, "VDinstall");
                                       server->setHandler(VDUninstallHandler, "VDuninstall");
                                   }
                                   pf::NotificationCenter::defaultCenter().removeObserver(*once);
                                   once->reset();
                               });
    center.addObserver(kDidInstallNotification, nullptr, writeAlias);
}
