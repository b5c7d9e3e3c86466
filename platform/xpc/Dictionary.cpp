#include "platform/xpc/Dictionary.h"

#include <utf8cpp/utf8.h>

#include <cstdio>

#include "platform/xpc/Connection.h"
#include "platform/xpc/Limits.h"
#include "platform/xpc/ReplyRoute.h"

namespace pf::xpc {

std::shared_ptr<Dictionary> Dictionary::create() { return std::make_shared<Dictionary>(); }

std::shared_ptr<Dictionary> Dictionary::createReply(const std::shared_ptr<Dictionary>& request) {
    if (!request || !request->wantsReply()) return nullptr;
    auto reply = create();
    reply->route_ = request->route_;
    reply->isReply_ = true;
    return reply;
}

bool Dictionary::isValidKey(std::string_view key) {
    if (key.empty() || key.size() > kMaxKeyBytes) return false;
    if (key.find('\0') != std::string_view::npos) return false;
    return utf8::is_valid(key.begin(), key.end());
}

namespace {
template <class V>
bool store(std::map<std::string, Dictionary::Value, std::less<>>& entries, std::string_view key, V&& value) {
    if (!Dictionary::isValidKey(key)) return false;
    auto it = entries.find(key);
    if (it != entries.end()) {
        it->second = std::forward<V>(value);
        return true;
    }
    if (entries.size() >= kMaxDictionaryEntries) return false;
    entries.emplace(std::string(key), std::forward<V>(value));
    return true;
}
} // namespace

bool Dictionary::setData(std::string_view key, std::vector<std::uint8_t> bytes) {
    return store(entries_, key, Value(std::move(bytes)));
}

bool Dictionary::setData(std::string_view key, const void* bytes, std::size_t length) {
    const auto* begin = static_cast<const std::uint8_t*>(bytes);
    return setData(key, length ? std::vector<std::uint8_t>(begin, begin + length) : std::vector<std::uint8_t>());
}

bool Dictionary::setBool(std::string_view key, bool value) { return store(entries_, key, Value(value)); }

void Dictionary::remove(std::string_view key) {
    auto it = entries_.find(key);
    if (it != entries_.end()) entries_.erase(it);
}

const std::vector<std::uint8_t>* Dictionary::data(std::string_view key) const {
    auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    return std::get_if<std::vector<std::uint8_t>>(&it->second);
}

std::optional<bool> Dictionary::boolean(std::string_view key) const {
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    if (const bool* value = std::get_if<bool>(&it->second)) return *value;
    return std::nullopt;
}

bool Dictionary::wantsReply() const { return route_ && !isReply_ && route_->wantsReply; }

std::shared_ptr<Connection> Dictionary::remoteConnection() const {
    return route_ ? route_->connection.lock() : nullptr;
}

std::string Dictionary::description() const {
    std::string text = "<dictionary: { count = " + std::to_string(entries_.size()) + ", contents =";
    for (const auto& [key, value] : entries_) {
        text += "\n\t\"" + key + "\" => ";
        if (const bool* flag = std::get_if<bool>(&value))
            text += *flag ? "<bool: true>" : "<bool: false>";
        else
            text += "<data: { length = " + std::to_string(std::get<std::vector<std::uint8_t>>(value).size()) +
                    " bytes }>";
    }
    return text + (entries_.empty() ? " }>" : "\n}>");
}

} // namespace pf::xpc
