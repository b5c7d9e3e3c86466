#include "ipc/VDIPCMessage.h"

#include <cerrno>
#include <mutex>

#include "app/ExceptionGuard.h"
#include "ipc/IPCKeys.h"
#include "ipc/KeyedArchive.h"
#include "platform/foundation/PropertyList.h"

namespace {

pf::Error invalidMessageDataError() {
    // There is no string table in this build; the English text is the fallback.
    return pf::Error(pf::NSPOSIXErrorDomain, EINVAL,
                     {{pf::NSLocalizedDescriptionKey, pf::Value("The message data was invalid.")}});
}

} // namespace

VDIPCMessage::VDIPCMessage(Passkey) {}

VDIPCMessage::~VDIPCMessage() {
    if (observer_) pf::NotificationCenter::defaultCenter().removeObserver(observer_);
}

void VDIPCMessage::observeConnectionDeaths() {
    std::weak_ptr<VDIPCMessage> weak = weak_from_this();
    observer_ = pf::NotificationCenter::defaultCenter().addObserver(
        vdipc::kConnectionDiedNotification, nullptr, [weak](const pf::Notification& note) {
            if (auto self = weak.lock()) self->connectionDied(note);
        });
}

std::shared_ptr<VDIPCMessage> VDIPCMessage::init() {
    auto message = std::make_shared<VDIPCMessage>(Passkey());
    message->observeConnectionDeaths();
    return message;
}

std::shared_ptr<VDIPCMessage> VDIPCMessage::initWithPacketData(const std::optional<pf::Data>& data) {
    auto message = init();
    std::optional<pf::Value> parsed;
    if (data) parsed = pf::propertyListFromBytes(*data);
    if (parsed && parsed->isDictionary())
        message->storage_ = std::move(parsed->dictionary());
    else
        // Bytes the parser refuses are as invalid as bytes that parse to no
        // dictionary; the handler is better served by knowing.
        message->setError(invalidMessageDataError());
    return message;
}

std::shared_ptr<VDIPCMessage> VDIPCMessage::message() { return messageWithType(""); }

std::shared_ptr<VDIPCMessage> VDIPCMessage::messageWithType(std::string type) {
    auto message = init();
    message->setType(std::move(type));
    return message;
}

std::shared_ptr<VDIPCMessage> VDIPCMessage::replyToMessage(const std::shared_ptr<VDIPCMessage>& request) {
    return replyToMessage(request, "");
}

std::shared_ptr<VDIPCMessage> VDIPCMessage::replyToMessage(const std::shared_ptr<VDIPCMessage>& request,
                                                           std::string type) {
    auto reply = request ? request->copy() : init();
    for (const auto& [key, value] : reply->entries())
        if (!vdipc::isOutOfBandKey(key)) reply->setObject(pf::Value(), key);
    reply->setType(std::move(type));
    reply->setObject(request ? request->objectForKey(vdipc::kTypeKey) : pf::Value(), vdipc::kReplyToTypeKey);
    return reply;
}

std::optional<pf::Data> VDIPCMessage::packetData() const {
    pf::Dictionary packet = entries();
    std::erase_if(packet, [](const auto& entry) { return vdipc::isOutOfBandKey(entry.first); });
    return pf::binaryPropertyList(pf::Value(std::move(packet)));
}

pf::Value VDIPCMessage::objectForKey(std::string_view key) const {
    pf::Value result;
    VDGuard(__LINE__, [&] {
        std::shared_lock lock(lock_);
        if (auto it = storage_.find(key); it != storage_.end()) result = it->second;
    });
    return result;
}

void VDIPCMessage::setObject(pf::Value value, std::string key, std::optional<std::string> localizedName) {
    VDGuard(__LINE__, [&] {
        if (!value.isNull()) {
            std::optional<std::string> nameKey;
            if (localizedName) nameKey = vdipc::localizedNameKey(key);
            std::unique_lock lock(lock_);
            storage_.insert_or_assign(std::move(key), std::move(value));
            if (nameKey) storage_.insert_or_assign(std::move(*nameKey), pf::Value(std::move(*localizedName)));
        } else {
            const std::string nameKey = vdipc::localizedNameKey(key);
            std::unique_lock lock(lock_);
            storage_.erase(key);
            storage_.erase(nameKey);
        }
    });
}

void VDIPCMessage::setObject(pf::Value value, std::string key) {
    setObject(std::move(value), std::move(key), std::nullopt);
}

pf::Value VDIPCMessage::localizedNameForKey(std::string_view key) const {
    return objectForKey(vdipc::localizedNameKey(key));
}

pf::Value VDIPCMessage::OOBObjectForKey(std::string_view key) const { return objectForKey(vdipc::outOfBandKey(key)); }

void VDIPCMessage::setOOBObject(pf::Value value, std::string_view key) {
    setObject(std::move(value), vdipc::outOfBandKey(key));
}

std::optional<std::string> VDIPCMessage::type() const {
    const pf::Value value = objectForKey(vdipc::kTypeKey);
    if (!value.isString()) return std::nullopt;
    return value.string();
}

void VDIPCMessage::setType(std::string type) { setObject(pf::Value(std::move(type)), vdipc::kTypeKey); }

std::optional<pf::Error> VDIPCMessage::error() const {
    const pf::Value value = objectForKey(vdipc::kErrorKey);
    if (!value.isData()) return std::nullopt;
    return VDUnarchiveError(value.data());
}

void VDIPCMessage::setError(const std::optional<pf::Error>& error) {
    if (!error) return;
    if (auto archive = VDArchiveError(*error)) setObject(pf::Value(std::move(*archive)), vdipc::kErrorKey);
}

std::shared_ptr<VDIPCConnection> VDIPCMessage::connection() const {
    std::shared_lock lock(lock_);
    return connection_.lock();
}

void VDIPCMessage::setConnection(const std::shared_ptr<VDIPCConnection>& connection) {
    std::unique_lock lock(lock_);
    connection_ = connection;
}

void VDIPCMessage::connectionDied(const pf::Notification& notification) {
    if (!notification.object) return;
    std::unique_lock lock(lock_);
    // Same owner, whatever pointer type the poster used for the object.
    const bool same = !connection_.owner_before(notification.object) && !notification.object.owner_before(connection_);
    if (same) connection_.reset();
}

void VDIPCMessage::setValueForUndefinedKey(pf::Value value, std::string key) {
    VDGuard(__LINE__, [&] {
        std::unique_lock lock(lock_);
        if (value.isNull())
            storage_.erase(key);
        else
            storage_.insert_or_assign(std::move(key), std::move(value));
    });
}

std::shared_ptr<VDIPCMessage> VDIPCMessage::copy() const {
    auto copied = init();
    VDGuard(__LINE__, [&] { copied->storage_ = entries(); });
    return copied;
}

pf::Dictionary VDIPCMessage::entries() const {
    std::shared_lock lock(lock_);
    return storage_;
}

std::string VDIPCMessage::description() const { return pf::Value(entries()).description(); }
