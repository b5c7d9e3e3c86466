#pragma once
// The typed key/value message that client and daemon exchange. Entries are
// property-list values under string keys; a few keys are reserved (type,
// reply-to type, error, localized names), and out-of-band entries ("__ob_"
// keys) may hold any object but never leave the process.
//
// Every message is safe to share between threads: reads take the read lock,
// writes the write lock. A message refers to its connection weakly and drops
// the reference when that connection announces its death.
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class VDIPCConnection;

class VDIPCMessage : public pf::Object, public std::enable_shared_from_this<VDIPCMessage> {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    // Use the factories; the constructor is public only for make_shared.
    explicit VDIPCMessage(Passkey);
    ~VDIPCMessage() override;
    VDIPCMessage(const VDIPCMessage&) = delete;
    VDIPCMessage& operator=(const VDIPCMessage&) = delete;

    // An empty message (no type), observing connection deaths.
    static std::shared_ptr<VDIPCMessage> init();
    // The message whose entries a packet holds. Without data, or when the
    // bytes are no dictionary property list, the message is empty and carries
    // the error POSIX 22 "The message data was invalid.".
    static std::shared_ptr<VDIPCMessage> initWithPacketData(const std::optional<pf::Data>& data);

    // A message of type "".
    static std::shared_ptr<VDIPCMessage> message();
    static std::shared_ptr<VDIPCMessage> messageWithType(std::string type);
    // A reply of type "" / of the given type: no user entries, no error, no
    // connection, the request's out-of-band entries, "_rtY" = the request's type.
    static std::shared_ptr<VDIPCMessage> replyToMessage(const std::shared_ptr<VDIPCMessage>& request);
    static std::shared_ptr<VDIPCMessage> replyToMessage(const std::shared_ptr<VDIPCMessage>& request,
                                                        std::string type);

    // The binary property list of every entry but the out-of-band ones;
    // nullopt when an entry is no property-list value.
    std::optional<pf::Data> packetData() const;

    // A null value when absent.
    pf::Value objectForKey(std::string_view key) const;
    // A null value removes the key and its localized name; a value without a
    // name keeps an earlier localized name of the key.
    void setObject(pf::Value value, std::string key, std::optional<std::string> localizedName);
    void setObject(pf::Value value, std::string key);
    pf::Value localizedNameForKey(std::string_view key) const;
    pf::Value OOBObjectForKey(std::string_view key) const;
    void setOOBObject(pf::Value value, std::string_view key);

    // nullopt when absent or not a string.
    std::optional<std::string> type() const;
    void setType(std::string type);
    // The error archived under "_err_"; nullopt for anything else.
    std::optional<pf::Error> error() const;
    // nullopt leaves an existing error in place.
    void setError(const std::optional<pf::Error>& error);

    std::shared_ptr<VDIPCConnection> connection() const;
    void setConnection(const std::shared_ptr<VDIPCConnection>& connection);
    // Clears the connection when the notification's object is that connection.
    void connectionDied(const pf::Notification& notification);

    // Key-value coding on keys that are not properties: the entries themselves.
    pf::Value valueForUndefinedKey(std::string_view key) const { return objectForKey(key); }
    void setValueForUndefinedKey(pf::Value value, std::string key);

    // A shallow copy of the entries, without connection.
    std::shared_ptr<VDIPCMessage> copy() const;
    std::shared_ptr<VDIPCMessage> mutableCopy() const { return copy(); }

    // Every entry, out-of-band ones included, taken under the read lock.
    pf::Dictionary entries() const;
    std::string description() const override;

private:
    void observeConnectionDeaths();

    std::weak_ptr<VDIPCConnection> connection_;
    pf::Dictionary storage_;
    mutable std::shared_mutex lock_;
    pf::NotificationCenter::ObserverHandle observer_;
};
