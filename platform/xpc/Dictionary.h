#pragma once
// A message: string keys mapped to data or boolean values. Keys are UTF-8
// without NUL, at most kMaxKeyBytes long; at most kMaxDictionaryEntries
// entries. Setting a key again replaces its value (of either type).
//
// Not synchronised: one thread at a time may change a dictionary. Sending
// encodes it at once, so changing it after the send does not change the
// message sent.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/xpc/Object.h"

namespace pf::xpc {

class Connection;
namespace detail {
struct ReplyRoute;
}

class Dictionary final : public Object {
public:
    using Value = std::variant<std::vector<std::uint8_t>, bool>;

    static std::shared_ptr<Dictionary> create();
    // The reply to a received request that asked for one, else nullptr. The
    // reply remembers the connection and the request, so sendMessage(reply)
    // on that connection delivers it as the answer to the request.
    static std::shared_ptr<Dictionary> createReply(const std::shared_ptr<Dictionary>& request);

    // False (and nothing changes) for a bad key or a full dictionary.
    bool setData(std::string_view key, std::vector<std::uint8_t> bytes);
    bool setData(std::string_view key, const void* bytes, std::size_t length);
    bool setBool(std::string_view key, bool value);
    void remove(std::string_view key);

    // nullptr / nullopt when the key is absent or holds the other type. The
    // pointer stays valid until the entry is changed or removed.
    const std::vector<std::uint8_t>* data(std::string_view key) const;
    std::optional<bool> boolean(std::string_view key) const;

    std::size_t count() const { return entries_.size(); }
    const std::map<std::string, Value, std::less<>>& entries() const { return entries_; }

    // True for a received request whose sender waits for a reply.
    bool wantsReply() const;
    // The connection a received message came from (nullptr for a local one).
    std::shared_ptr<Connection> remoteConnection() const;

    std::string description() const override;

    static bool isValidKey(std::string_view key);

    // Used by the transport: how a received message (or a reply made from
    // one) is routed back.
    const std::shared_ptr<detail::ReplyRoute>& route() const { return route_; }
    void setRoute(std::shared_ptr<detail::ReplyRoute> route) { route_ = std::move(route); }
    bool isReply() const { return isReply_; }

private:
    std::map<std::string, Value, std::less<>> entries_;
    std::shared_ptr<detail::ReplyRoute> route_;
    bool isReply_ = false;
};

} // namespace pf::xpc
