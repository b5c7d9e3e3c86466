#include "ipc/KeyedArchive.h"

#include <plist/plist.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/BinaryPropertyListCheck.h"
#include "platform/foundation/URL.h"

// libplist is used directly here because the archive needs UID values,
// which have no place among the platform's property-list values.

namespace {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistOwner = std::unique_ptr<void, PlistFree>;

constexpr std::size_t kMaxArchiveBytes = 1u << 20;
constexpr std::uint32_t kMaxArchiveObjects = 4096;
constexpr int kMaxArchiveDepth = 16;
// Shared references can make a small archive expand; bound what reading makes.
constexpr std::size_t kMaxDecodedNodes = 16384;
constexpr std::size_t kMaxDecodedBytes = 4u << 20;
constexpr int kMaxWriteDepth = 32;

// ---------------------------------------------------------------- writing

class ArchiveWriter {
public:
    ArchiveWriter() : objects_(plist_new_array()) { plist_array_append_item(objects_.get(), plist_new_string("$null")); }

    std::optional<pf::Data> finish(std::uint64_t rootUID) {
        PlistOwner root(plist_new_dict());
        plist_t top = plist_new_dict();
        plist_dict_set_item(top, "root", plist_new_uid(rootUID));
        plist_dict_set_item(root.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_dict_set_item(root.get(), "$objects", objects_.release());
        plist_dict_set_item(root.get(), "$top", top);
        plist_dict_set_item(root.get(), "$version", plist_new_uint(100000));
        char* bytes = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(root.get(), &bytes, &length);
        if (!bytes) return std::nullopt;
        pf::Data data(bytes, bytes + length);
        plist_to_bin_free(bytes);
        return data;
    }

    std::uint64_t error(const pf::Error& error, int depth) {
        const std::uint64_t self = reserve();
        plist_t object = plist_new_dict();
        plist_dict_set_item(object, "NSCode", plist_new_uint(static_cast<std::uint64_t>(error.code())));
        plist_dict_set_item(object, "NSDomain", plist_new_uid(string(error.domain())));
        if (!error.userInfo().empty())
            plist_dict_set_item(object, "NSUserInfo", plist_new_uid(dictionary(error.userInfo(), depth + 1)));
        plist_dict_set_item(object, "$class", plist_new_uid(classUID("NSError")));
        fill(self, object);
        return self;
    }

private:
    std::uint32_t size() const { return plist_array_get_size(objects_.get()); }

    std::uint64_t append(plist_t node) {
        plist_array_append_item(objects_.get(), node);
        return size() - 1;
    }
    // An object gets its UID before its members are written, as the platform's
    // archiver numbers them.
    std::uint64_t reserve() { return append(plist_new_bool(0)); }
    void fill(std::uint64_t uid, plist_t node) {
        plist_array_set_item(objects_.get(), node, static_cast<std::uint32_t>(uid));
    }

    std::uint64_t string(const std::string& s) {
        if (auto it = strings_.find(s); it != strings_.end()) return it->second;
        const std::uint64_t uid = append(plist_new_string(s.c_str()));
        strings_.emplace(s, uid);
        return uid;
    }

    std::uint64_t classUID(const std::string& name) {
        if (auto it = classes_.find(name); it != classes_.end()) return it->second;
        plist_t description = plist_new_dict();
        plist_t chain = plist_new_array();
        plist_array_append_item(chain, plist_new_string(name.c_str()));
        plist_array_append_item(chain, plist_new_string("NSObject"));
        plist_dict_set_item(description, "$classes", chain);
        plist_dict_set_item(description, "$classname", plist_new_string(name.c_str()));
        const std::uint64_t uid = append(description);
        classes_.emplace(name, uid);
        return uid;
    }

    std::uint64_t dictionary(const pf::Dictionary& entries, int depth) {
        const std::uint64_t self = reserve();
        plist_t keys = plist_new_array();
        plist_t values = plist_new_array();
        for (const auto& [key, value] : entries) {
            if (!archivable(value, depth + 1)) continue;
            plist_array_append_item(keys, plist_new_uid(string(key)));
            plist_array_append_item(values, plist_new_uid(this->value(value, depth + 1)));
        }
        plist_t object = plist_new_dict();
        plist_dict_set_item(object, "NS.keys", keys);
        plist_dict_set_item(object, "NS.objects", values);
        plist_dict_set_item(object, "$class", plist_new_uid(classUID("NSDictionary")));
        fill(self, object);
        return self;
    }

    std::uint64_t array(const pf::Array& items, int depth) {
        const std::uint64_t self = reserve();
        plist_t values = plist_new_array();
        for (const auto& item : items)
            if (archivable(item, depth + 1)) plist_array_append_item(values, plist_new_uid(value(item, depth + 1)));
        plist_t object = plist_new_dict();
        plist_dict_set_item(object, "NS.objects", values);
        plist_dict_set_item(object, "$class", plist_new_uid(classUID("NSArray")));
        fill(self, object);
        return self;
    }

    static bool archivable(const pf::Value& value, int depth) {
        if (depth > kMaxWriteDepth) return false;
        switch (value.kind()) {
        case pf::Value::Kind::Null:
            return false;
        case pf::Value::Kind::Object:
            return value.url() || dynamic_cast<const pf::Error*>(value.object().get());
        default:
            return true;
        }
    }

    // The value must be archivable.
    std::uint64_t value(const pf::Value& v, int depth) {
        using K = pf::Value::Kind;
        switch (v.kind()) {
        case K::String:
            return string(v.string());
        case K::Integer:
            return append(plist_new_uint(static_cast<std::uint64_t>(v.integer())));
        case K::Real:
            return append(plist_new_real(v.real()));
        case K::Boolean:
            return append(plist_new_bool(v.boolean() ? 1 : 0));
        case K::Data:
            return append(plist_new_data(reinterpret_cast<const char*>(v.data().data()), v.data().size()));
        case K::Date: {
            const std::uint64_t self = reserve();
            plist_t object = plist_new_dict();
            plist_dict_set_item(object, "NS.time", plist_new_real(v.date().timeIntervalSinceReferenceDate()));
            plist_dict_set_item(object, "$class", plist_new_uid(classUID("NSDate")));
            fill(self, object);
            return self;
        }
        case K::Array:
            return array(v.array(), depth);
        case K::Dictionary:
            return dictionary(v.dictionary(), depth);
        case K::Object:
            if (const pf::URL* url = v.url()) {
                const std::uint64_t self = reserve();
                plist_t object = plist_new_dict();
                plist_dict_set_item(object, "NS.base", plist_new_uid(0));
                plist_dict_set_item(object, "NS.relative", plist_new_uid(string(url->absoluteString())));
                plist_dict_set_item(object, "$class", plist_new_uid(classUID("NSURL")));
                fill(self, object);
                return self;
            }
            return error(*dynamic_cast<const pf::Error*>(v.object().get()), depth);
        case K::Null:
            break;
        }
        return 0;
    }

    PlistOwner objects_;
    std::map<std::string, std::uint64_t> strings_;
    std::map<std::string, std::uint64_t> classes_;
};

// ---------------------------------------------------------------- reading

std::optional<std::uint64_t> uidOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_UID) return std::nullopt;
    std::uint64_t uid = 0;
    plist_get_uid_val(node, &uid);
    return uid;
}

std::optional<std::string> stringOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text) return std::nullopt;
    return std::string(text, length);
}

class ArchiveReader {
public:
    explicit ArchiveReader(plist_t objects) : objects_(objects), count_(plist_array_get_size(objects)) {}

    std::optional<pf::Error> error(std::uint64_t uid, int depth) {
        plist_t object = objectAt(uid, depth);
        if (!object) return std::nullopt;
        return errorFromNode(object, depth);
    }

private:
    // The object a UID names, counted against the budgets; nullptr past them.
    plist_t objectAt(std::uint64_t uid, int depth) {
        if (depth > kMaxArchiveDepth || uid >= count_ || ++nodes_ > kMaxDecodedNodes) return nullptr;
        return plist_array_get_item(objects_, static_cast<std::uint32_t>(uid));
    }

    bool spend(std::size_t bytes) {
        bytes_ += bytes;
        return bytes_ <= kMaxDecodedBytes;
    }

    std::string className(plist_t object) {
        std::optional<std::uint64_t> uid = uidOf(plist_dict_get_item(object, "$class"));
        if (!uid || *uid >= count_) return {};
        plist_t description = plist_array_get_item(objects_, static_cast<std::uint32_t>(*uid));
        if (!description || plist_get_node_type(description) != PLIST_DICT) return {};
        return stringOf(plist_dict_get_item(description, "$classname")).value_or("");
    }

    std::optional<pf::Value> member(plist_t object, const char* key, int depth) {
        std::optional<std::uint64_t> uid = uidOf(plist_dict_get_item(object, key));
        if (!uid) return std::nullopt;
        return value(*uid, depth + 1);
    }

    // An integer inline, or behind a UID.
    std::optional<std::int64_t> integer(plist_t node, int depth) {
        if (std::optional<std::uint64_t> uid = uidOf(node)) {
            std::optional<pf::Value> v = value(*uid, depth + 1);
            if (!v || !v->isInteger()) return std::nullopt;
            return v->integer();
        }
        if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
        std::uint64_t raw = 0;
        plist_get_uint_val(node, &raw);
        return static_cast<std::int64_t>(raw);
    }

    std::optional<pf::Array> uidArray(plist_t object, const char* key, int depth) {
        plist_t list = plist_dict_get_item(object, key);
        if (!list || plist_get_node_type(list) != PLIST_ARRAY) return std::nullopt;
        pf::Array items;
        const std::uint32_t n = plist_array_get_size(list);
        if (n > count_) return std::nullopt;
        for (std::uint32_t i = 0; i < n; ++i) {
            std::optional<std::uint64_t> uid = uidOf(plist_array_get_item(list, i));
            if (!uid) return std::nullopt;
            std::optional<pf::Value> item = value(*uid, depth + 1);
            if (!item) return std::nullopt;
            items.push_back(std::move(*item));
        }
        return items;
    }

    // The value a UID names; a null value for $null; nullopt when unreadable.
    std::optional<pf::Value> value(std::uint64_t uid, int depth) {
        if (uid == 0) return pf::Value();
        plist_t node = objectAt(uid, depth);
        if (!node) return std::nullopt;
        switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            std::optional<std::string> s = stringOf(node);
            if (!s || !spend(s->size())) return std::nullopt;
            return pf::Value(std::move(*s));
        }
        case PLIST_UINT: {
            std::uint64_t raw = 0;
            plist_get_uint_val(node, &raw);
            return pf::Value(static_cast<std::int64_t>(raw));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return pf::Value(d);
        }
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return pf::Value(b != 0);
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            if (!spend(length)) return std::nullopt;
            return pf::Value(pf::Data(bytes, bytes + length));
        }
        case PLIST_DICT:
            return object(node, depth);
        default:
            return std::nullopt;
        }
    }

    std::optional<pf::Value> object(plist_t node, int depth) {
        const std::string cls = className(node);
        if (cls == "NSDictionary" || cls == "NSMutableDictionary") {
            std::optional<pf::Array> keys = uidArray(node, "NS.keys", depth);
            std::optional<pf::Array> values = uidArray(node, "NS.objects", depth);
            if (!keys || !values || keys->size() != values->size()) return std::nullopt;
            pf::Dictionary entries;
            for (std::size_t i = 0; i < keys->size(); ++i) {
                if (!(*keys)[i].isString()) return std::nullopt;
                if ((*values)[i].isNull()) continue;
                entries.insert_or_assign((*keys)[i].string(), std::move((*values)[i]));
            }
            return pf::Value(std::move(entries));
        }
        if (cls == "NSArray" || cls == "NSMutableArray") {
            std::optional<pf::Array> items = uidArray(node, "NS.objects", depth);
            if (!items) return std::nullopt;
            std::erase_if(*items, [](const pf::Value& v) { return v.isNull(); });
            return pf::Value(std::move(*items));
        }
        if (cls == "NSString" || cls == "NSMutableString") {
            std::optional<std::string> s = stringOf(plist_dict_get_item(node, "NS.string"));
            if (!s || !spend(s->size())) return std::nullopt;
            return pf::Value(std::move(*s));
        }
        if (cls == "NSData" || cls == "NSMutableData") {
            plist_t data = plist_dict_get_item(node, "NS.data");
            if (!data || plist_get_node_type(data) != PLIST_DATA) return std::nullopt;
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(data, &length);
            if (!spend(length)) return std::nullopt;
            return pf::Value(pf::Data(bytes, bytes + length));
        }
        if (cls == "NSDate") {
            plist_t time = plist_dict_get_item(node, "NS.time");
            if (!time || plist_get_node_type(time) != PLIST_REAL) return std::nullopt;
            double seconds = 0;
            plist_get_real_val(time, &seconds);
            return pf::Value(pf::Date::fromReferenceDate(seconds));
        }
        if (cls == "NSURL") return url(node, depth);
        if (cls == "NSError") {
            std::optional<pf::Error> nested = errorFromNode(node, depth);
            if (!nested) return std::nullopt;
            return pf::Value(pf::ObjectPtr(std::make_shared<const pf::Error>(std::move(*nested))));
        }
        return std::nullopt;
    }

    std::optional<pf::Error> errorFromNode(plist_t object, int depth) {
        if (plist_get_node_type(object) != PLIST_DICT || className(object) != "NSError") return std::nullopt;
        std::optional<pf::Value> domain = member(object, "NSDomain", depth);
        if (!domain || !domain->isString()) return std::nullopt;
        std::optional<std::int64_t> code = integer(plist_dict_get_item(object, "NSCode"), depth);
        if (!code) return std::nullopt;
        pf::Dictionary userInfo;
        if (plist_dict_get_item(object, "NSUserInfo")) {
            std::optional<pf::Value> info = member(object, "NSUserInfo", depth);
            if (!info) return std::nullopt;
            if (info->isDictionary())
                userInfo = std::move(info->dictionary());
            else if (!info->isNull())
                return std::nullopt;
        }
        return pf::Error(domain->string(), *code, std::move(userInfo));
    }

    std::optional<pf::Value> url(plist_t node, int depth) {
        std::optional<pf::Value> relative = member(node, "NS.relative", depth);
        if (!relative || !relative->isString()) return std::nullopt;
        std::optional<pf::Value> base = member(node, "NS.base", depth);
        if (!base) return std::nullopt;
        std::optional<pf::URL> url;
        if (base->isNull())
            url = pf::URL::URLWithString(relative->string());
        else if (const pf::URL* baseURL = base->url())
            url = pf::URL::URLWithString(relative->string(), *baseURL);
        if (!url) return std::nullopt;
        return pf::Value(*url);
    }

    plist_t objects_;
    std::uint32_t count_;
    std::size_t nodes_ = 0;
    std::size_t bytes_ = 0;
};

} // namespace

std::optional<pf::Data> VDArchiveError(const pf::Error& error) {
    ArchiveWriter writer;
    const std::uint64_t root = writer.error(error, 0);
    return writer.finish(root);
}

std::optional<pf::Error> VDUnarchiveError(std::span<const std::uint8_t> archive) {
    static constexpr std::string_view kMagic = "bplist00";
    if (archive.size() < kMagic.size() || archive.size() > kMaxArchiveBytes) return std::nullopt;
    const std::string_view bytes(reinterpret_cast<const char*>(archive.data()), archive.size());
    if (bytes.substr(0, kMagic.size()) != kMagic) return std::nullopt;
    // libplist trusts offsets and references: the structure is checked first.
    pf::PropertyListLimits limits;
    limits.maxBytes = kMaxArchiveBytes;
    limits.maxObjects = kMaxDecodedNodes;
    limits.maxDepth = 8;
    if (!pf::isWellFormedBinaryPropertyList(bytes, limits)) return std::nullopt;

    plist_t parsed = nullptr;
    plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    PlistOwner root(parsed);
    if (!parsed || plist_get_node_type(parsed) != PLIST_DICT) return std::nullopt;
    if (stringOf(plist_dict_get_item(parsed, "$archiver")) != "NSKeyedArchiver") return std::nullopt;
    plist_t objects = plist_dict_get_item(parsed, "$objects");
    plist_t top = plist_dict_get_item(parsed, "$top");
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !top || plist_get_node_type(top) != PLIST_DICT)
        return std::nullopt;
    if (plist_array_get_size(objects) > kMaxArchiveObjects) return std::nullopt;
    std::optional<std::uint64_t> rootUID = uidOf(plist_dict_get_item(top, "root"));
    if (!rootUID) return std::nullopt;
    return ArchiveReader(objects).error(*rootUID, 0);
}
