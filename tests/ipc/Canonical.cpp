#include "tests/ipc/Canonical.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/foundation/JsonString.h"
#include "platform/foundation/URL.h"

namespace vt {

namespace {

std::string quoted(const std::string& text) { return pf::jsonString(text); }

std::string real(double d) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
    std::string s(buffer, end);
    if (s.find_first_of(".en") == std::string::npos) s += ".0";
    return s;
}

std::string hex(const pf::Data& data) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string userInfoValue(const pf::Value& v);

std::string userInfoDictionary(const pf::Dictionary& d) {
    std::string out = "{";
    bool first = true;
    for (const auto& [k, v] : d) {
        if (!first) out += ",";
        first = false;
        out += quoted(k) + ":" + userInfoValue(v);
    }
    return out + "}";
}

std::string userInfoValue(const pf::Value& v) {
    if (v.isObject()) {
        if (const pf::URL* url = v.url()) return "{\"URL\":" + quoted(url->absoluteString()) + "}";
        if (auto* error = dynamic_cast<const pf::Error*>(v.object().get())) return canonicalError(*error);
        return "?";
    }
    if (v.isDictionary()) return userInfoDictionary(v.dictionary());
    if (v.isArray()) {
        std::string out = "[";
        for (std::size_t i = 0; i < v.array().size(); ++i) out += (i ? "," : "") + userInfoValue(v.array()[i]);
        return out + "]";
    }
    return canonical(v);
}

} // namespace

std::string canonical(const pf::Value& v) {
    using K = pf::Value::Kind;
    switch (v.kind()) {
    case K::String: return quoted(v.string());
    case K::Integer: return std::to_string(v.integer());
    case K::Real: return real(v.real());
    case K::Boolean: return v.boolean() ? "true" : "false";
    case K::Data: return "h'" + hex(v.data()) + "'";
    case K::Date: return "date(" + std::to_string(static_cast<long long>(std::floor(v.date().secondsSince1970))) + ")";
    case K::Array: {
        std::string out = "[";
        for (std::size_t i = 0; i < v.array().size(); ++i) out += (i ? "," : "") + canonical(v.array()[i]);
        return out + "]";
    }
    case K::Dictionary: {
        std::string out = "{";
        bool first = true;
        for (const auto& [k, item] : v.dictionary()) {
            if (!first) out += ",";
            first = false;
            out += quoted(k) + ":" + canonical(item);
        }
        return out + "}";
    }
    case K::Null: return "null";
    case K::Object: return "object";
    }
    return "?";
}

std::string canonicalError(const pf::Error& error) {
    return "{\"code\":" + std::to_string(error.code()) + ",\"domain\":" + quoted(error.domain()) +
           ",\"userInfo\":" + userInfoDictionary(error.userInfo()) + "}";
}

pf::Data fromHex(const std::string& text) {
    pf::Data out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) break;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
}

const char* const CANON_PY = R"PY(
import plistlib, sys, json, datetime
def canon(x):
    if isinstance(x, plistlib.UID): return 'UID(%d)' % x.data
    if isinstance(x, bool): return 'true' if x else 'false'
    if isinstance(x, int): return str(x)
    if isinstance(x, float): return repr(x)
    if isinstance(x, str): return json.dumps(x, ensure_ascii=False)
    if isinstance(x, bytes): return "h'" + x.hex() + "'"
    if isinstance(x, list): return '[' + ','.join(canon(i) for i in x) + ']'
    if isinstance(x, dict): return '{' + ','.join(json.dumps(k, ensure_ascii=False) + ':' + canon(x[k]) for k in sorted(x)) + '}'
    if isinstance(x, datetime.datetime): return 'date(%d)' % int(x.replace(tzinfo=datetime.timezone.utc).timestamp() // 1)
    raise TypeError(type(x))
def unarchive(data):
    a = plistlib.loads(data)
    assert a['$archiver'] == 'NSKeyedArchiver', a['$archiver']
    assert a['$version'] == 100000
    objs = a['$objects']
    assert objs[0] == '$null'
    def cls(o):
        c = objs[o['$class'].data]
        assert c['$classes'][-1] == 'NSObject' and c['$classes'][0] == c['$classname']
        return c['$classname']
    def dec(u):
        assert isinstance(u, plistlib.UID)
        if u.data == 0: return None
        o = objs[u.data]
        if isinstance(o, dict):
            c = cls(o)
            if c == 'NSError':
                assert isinstance(o['NSCode'], int)
                return {'code': o['NSCode'], 'domain': dec(o['NSDomain']), 'userInfo': dec(o['NSUserInfo']) if 'NSUserInfo' in o else {}}
            if c == 'NSDictionary': return {dec(k): dec(v) for k, v in zip(o['NS.keys'], o['NS.objects'])}
            if c == 'NSArray': return [dec(v) for v in o['NS.objects']]
            if c == 'NSURL':
                assert o['NS.base'].data == 0
                return {'URL': dec(o['NS.relative'])}
            if c == 'NSDate': return datetime.datetime(2001, 1, 1) + datetime.timedelta(seconds=o['NS.time'])
            raise TypeError(c)
        return o
    return dec(a['$top']['root'])
data = open(sys.argv[1], 'rb').read()
)PY";

} // namespace vt
