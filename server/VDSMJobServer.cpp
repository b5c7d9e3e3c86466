#include "server/VDSMJobServer.h"

#include <unistd.h>

#include <ctime>
#include <shared_mutex>
#include <unordered_map>

#include "app/ExceptionGuard.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCConnectionXPC.h"
#include "ipc/VDIPCMessage.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/launchd/JobDescription.h"
#include "platform/xpc/WorkInFlight.h"
#include "server/Seal.h"
#include "server/VDClientAdmission.h"
#include "server/VDClientRequirement.h"

namespace {

// Process-wide, created by init and kept until exit.
std::shared_mutex gHandlerLock;
std::unordered_map<std::string, VDSMJobServer::Handler> gHandlers;
std::atomic<std::int64_t> gLastActivity{0};

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void touchActivity() { gLastActivity.exchange(nowSeconds()); }

} // namespace

std::int64_t VDSMJobServerLastActivity() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return gLastActivity.load();
}

VDSMJobServer::VDSMJobServer() {
    std::unique_lock lock(gHandlerLock);
    gHandlers = {};
    gHandlers.reserve(2);
}

VDSMJobServer::~VDSMJobServer() {
    // A resumed timer lives until it is cancelled, and its handler holds this.
    if (idleTimer_) idleTimer_->cancel();
}

VDSMJobServer* VDSMJobServer::server() { return dynamic_cast<VDSMJobServer*>(VDApplication::shared()); }

void VDSMJobServer::setHandler(Handler handler, const std::string& messageType) {
    std::unique_lock lock(gHandlerLock);
    if (handler)
        gHandlers[messageType] = std::move(handler);
    else
        gHandlers.erase(messageType);
}

VDSMJobServer::Handler VDSMJobServer::handlerForMessageType(const std::string& messageType) const {
    std::shared_lock lock(gHandlerLock);
    auto it = gHandlers.find(messageType);
    return it == gHandlers.end() ? Handler{} : it->second;
}

std::optional<pf::Dictionary> VDSMJobServer::jobDictionary() const {
    auto job = pf::launchd::copyJobDictionary(serviceName_, pf::launchd::domainForCurrentProcess());
    if (!job || !job->isDictionary()) return std::nullopt;
    return job->dictionary();
}

std::optional<std::int64_t> VDSMJobServer::idleTimeoutSeconds(const std::optional<pf::Dictionary>& job) {
    if (!job) return 10;
    const auto it = job->find("TimeOut");
    if (it == job->end()) return 10;
    const std::int64_t seconds = it->second.integerValue();
    if (seconds < 2) return std::nullopt;
    return seconds;
}

void VDSMJobServer::applicationDidFinishLaunching(const void* notification) {
    if (const pf::Value* identifier = pf::Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleIdentifier");
        identifier && identifier->isString())
        serviceName_ = identifier->string();
    touchActivity();
    installSealObserver();

    serviceConnection_ = VDIPCConnection::serviceConnectionWithXPCName(
        serviceName_, nullptr, [this](std::shared_ptr<VDIPCMessage> message) { dispatchMessage(message); });
    if (!serviceConnection_) {
        terminate();
        return;
    }
    setHandler([this](std::shared_ptr<VDIPCMessage> message) { removeSelf(message); }, "removeSelf_");

    std::optional<std::int64_t> timeout;
    VDGuard(__LINE__, [&] { timeout = idleTimeoutSeconds(jobDictionary()); });
    if (timeout) startIdleTimer(*timeout);

    VDApplication::applicationDidFinishLaunching(notification);
}

void VDSMJobServer::installSealObserver() {
    // One-shot: the first starting service of our name gets the hook, whose
    // child connections share it through the service's context.
    auto& center = pf::NotificationCenter::defaultCenter();
    auto handle = std::make_shared<pf::NotificationCenter::ObserverHandle>();
    *handle = center.addObserver(
        "VDIPCServiceConnectionWillStartNotification", nullptr,
        [this, handle](const pf::Notification& note) {
            const pf::Value* name = note.userInfo.count("name") ? &note.userInfo.at("name") : nullptr;
            if (!name || !name->isString() || name->string() != serviceName_) return;
            auto connection = std::static_pointer_cast<const VDIPCConnection>(note.object);
            if (!connection) return;
            auto service = std::const_pointer_cast<VDIPCConnection>(connection);
            service->setAerrorHandler(VDSealHook(serviceName_));
            if (auto xpc = std::dynamic_pointer_cast<VDIPCConnectionXPC>(service)) admitClientsBy(*xpc);
            pf::NotificationCenter::defaultCenter().removeObserver(*handle);
            handle->reset();
        });
}

void VDSMJobServer::admitClientsBy(VDIPCConnectionXPC& listener) {
    // Installed before the listener is resumed, so no peer is ever served
    // before its credentials were checked.
    auto admission = std::make_shared<VDClientAdmission>(VDClientRequirement::fromMainBundle());
    admission_ = admission;
    listener.setPeerAdmission(
        [admission](const pf::xpc::PeerCredentials& peer) { return admission->admitPeer(peer); });
}

void VDSMJobServer::startIdleTimer(std::int64_t seconds) {
    const auto periodNs = static_cast<std::uint64_t>(seconds) * 1000000000ULL;
    idleTimer_ = pf::dispatch::TimerSource::create(pf::dispatch::Queue::main());
    idleTimer_->setTimer(periodNs, periodNs / 2, 1000000000ULL);
    idleTimer_->setEventHandler([this, seconds] { checkIdle(seconds); });
    idleTimer_->resume();
}

void VDSMJobServer::checkIdle(std::int64_t seconds) {
    if (draining_) return;
    const bool idle = nowSeconds() - VDSMJobServerLastActivity() >= seconds;
    if (const std::size_t work = pf::xpc::workInFlight()) {
        // Work in flight is activity: the idle period starts when it is done.
        if (idle) VDLog(1, "idle exit postponed: %lu pieces of work in flight", static_cast<unsigned long>(work));
        touchActivity();
        return;
    }
    if (idle) beginIdleExit();
}

void VDSMJobServer::beginIdleExit() {
    auto listener = std::dynamic_pointer_cast<VDIPCConnectionXPC>(serviceConnection_);
    if (!listener) {
        terminate();
        return;
    }
    draining_ = true;
    const std::uint64_t generation = ++drainGeneration_;
    listener->stopAccepting(drainedHandler(generation));
}

std::function<void()> VDSMJobServer::drainedHandler(std::uint64_t generation) {
    return [this, generation] { pf::dispatch::Queue::main()->async([this, generation] { awaitDrained(generation); }); };
}

void VDSMJobServer::awaitDrained(std::uint64_t generation) {
    if (!draining_ || generation != drainGeneration_) return;
    // Counted from another thread: work may have been taken on since.
    if (pf::xpc::workInFlight() == 0) {
        terminate();
        return;
    }
    pf::xpc::whenNoWorkInFlight(drainedHandler(generation));
}

void VDSMJobServer::resumeServing() {
    // A listener that closed its own socket cannot accept again: it finishes
    // the drain and leaves (later clients find no service until it is started).
    auto listener = std::dynamic_pointer_cast<VDIPCConnectionXPC>(serviceConnection_);
    if (!draining_ || !listener || !listener->resumeAccepting()) return;
    draining_ = false;
    ++drainGeneration_;
}

void VDSMJobServer::dispatchMessage(const std::shared_ptr<VDIPCMessage>& message) {
    touchActivity();
    if (draining_) pf::dispatch::Queue::main()->async([this] { resumeServing(); });
    const std::optional<std::string> type = message ? message->type() : std::nullopt;
    if (!type) return;
    if (admission_ && !admission_->admitsSenderOf(*message)) return;
    Handler handler = handlerForMessageType(*type);
    if (!handler) return;
    VDGuard(__LINE__, [&] { handler(message); });
}

void VDSMJobServer::removeSelf(const std::shared_ptr<VDIPCMessage>&) {
    std::optional<std::string> path;
    if (auto job = jobDictionary()) {
        auto it = job->find("ProgramArguments");
        if (it != job->end() && it->second.isArray() && !it->second.array().empty() &&
            it->second.array().front().isString())
            path = it->second.array().front().string();
    }
    if (path)
        ::unlink(path->c_str()); // the outcome is of no consequence: we leave either way
    else
        logWithLevel(1, "could not find job path, removeSelf failed!");
    terminate();
}
