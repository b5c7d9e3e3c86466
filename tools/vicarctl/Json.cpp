#include "tools/vicarctl/Json.h"

#include <cmath>
#include <cstdio>

#include "installer/InstallErrorText.h"
#include "ipc/VDIPCMessage.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/JsonString.h"
#include "platform/foundation/PropertyList.h"

namespace vicarctl {
namespace {

std::string quoted(const std::string& text) { return pf::jsonString(text); }

std::string hex(const pf::Data& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (auto byte : data) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

std::string errorToJson(const pf::Error& error) {
    return "{\"domain\":" + quoted(error.domain()) + ",\"code\":" + std::to_string(error.code()) +
           ",\"description\":" + quoted(VDInstallErrorDescription(error)) +
           ",\"userInfo\":" + toJson(pf::Value(error.userInfo())) + "}";
}

} // namespace

std::string toJson(const pf::Value& value) {
    switch (value.kind()) {
    case pf::Value::Kind::Null: return "null";
    case pf::Value::Kind::String: return quoted(value.string());
    case pf::Value::Kind::Integer: return std::to_string(value.integer());
    case pf::Value::Kind::Real: {
        if (!std::isfinite(value.real())) return "null";
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value.real());
        return text;
    }
    case pf::Value::Kind::Boolean: return value.boolean() ? "true" : "false";
    case pf::Value::Kind::Date: return quoted(value.date().description());
    case pf::Value::Kind::Data: return quoted(hex(value.data()));
    case pf::Value::Kind::Array: {
        std::string out = "[";
        for (const auto& item : value.array()) out += (out.size() > 1 ? "," : "") + toJson(item);
        return out + "]";
    }
    case pf::Value::Kind::Dictionary: {
        std::string out = "{";
        for (const auto& [key, item] : value.dictionary())
            out += (out.size() > 1 ? "," : "") + quoted(key) + ":" + toJson(item);
        return out + "}";
    }
    case pf::Value::Kind::Object:
        if (auto error = std::dynamic_pointer_cast<const pf::Error>(value.object())) return errorToJson(*error);
        return quoted(value.description());
    }
    return "null";
}

std::string replyToJson(const VDIPCMessage& reply) {
    pf::Dictionary entries;
    if (auto packet = reply.packetData())
        if (auto decoded = pf::propertyListFromBytes(*packet); decoded && decoded->isDictionary())
            entries = decoded->dictionary();
    entries.erase("_err_"); // shown decoded under "error"
    const auto type = reply.type();
    const auto error = reply.error();
    return "{\"type\":" + (type ? quoted(*type) : std::string("null")) + ",\"entries\":" + toJson(pf::Value(entries)) +
           ",\"error\":" + (error ? errorToJson(*error) : std::string("null")) + "}";
}

} // namespace vicarctl
