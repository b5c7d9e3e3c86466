#include "tests/ipc/Plistlib.h"

#include <sys/wait.h>

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/foundation/JsonString.h"
#include "platform/foundation/URL.h"
#include "tests/support/TestSupport.h"

namespace vt {

PythonResult runPython(const std::string& script, const pf::Data& input, std::chrono::seconds watchdog) {
    PythonResult result;
    TempDir dir("vicar-py");
    writeFile(dir / "script.py", script);
    writeFile(dir / "input", std::string(input.begin(), input.end()));
    // coreutils' timeout is the watchdog; the folder name comes from mkdtemp.
    const std::string command = "timeout -s KILL " + std::to_string(watchdog.count()) + " python3 '" +
                                (dir / "script.py") + "' '" + (dir / "input") + "' </dev/null";
    FILE* pipe = ::popen(command.c_str(), "re");
    if (!pipe) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string canonical(const pf::Value& v) {
    using K = pf::Value::Kind;
    std::string out;
    switch (v.kind()) {
    case K::String: return pf::jsonString(v.string());
    case K::Integer: return v.isUnsignedInteger() ? std::to_string(v.unsignedInteger()) : std::to_string(v.integer());
    case K::Real: {
        char buffer[64]; // shortest round-trip form, as Python's repr() prints it
        out.assign(buffer, std::to_chars(buffer, buffer + sizeof buffer, v.real()).ptr);
        return out.find_first_of(".en") == std::string::npos ? out + ".0" : out;
    }
    case K::Boolean: return v.boolean() ? "true" : "false";
    case K::Null: return "null";
    case K::Date: return "date(" + std::to_string(static_cast<long long>(std::floor(v.date().secondsSince1970))) + ")";
    case K::Data:
        for (auto b : v.data()) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
        return "h'" + out + "'";
    case K::Array:
        for (const auto& item : v.array()) out += (out.empty() ? "" : ",") + canonical(item);
        return "[" + out + "]";
    case K::Dictionary:
        for (const auto& [key, item] : v.dictionary())
            out += (out.empty() ? "" : ",") + pf::jsonString(key) + ":" + canonical(item);
        return "{" + out + "}";
    case K::Object:
        if (const pf::URL* url = v.url()) return "{\"URL\":" + pf::jsonString(url->absoluteString()) + "}";
        if (auto* error = dynamic_cast<const pf::Error*>(v.object().get())) return canonicalError(*error);
        return "object";
    }
    return "?";
}

std::string canonicalError(const pf::Error& error) {
    return "{\"code\":" + std::to_string(error.code()) + ",\"domain\":" + pf::jsonString(error.domain()) +
           ",\"userInfo\":" + canonical(pf::Value(error.userInfo())) + "}";
}

// unarchive() also holds our archives to the platform archiver's layout:
// exactly these top-level keys, the root at UID 1, each class described once
// and no NSUserInfo for an empty user info.
const char* const CANON_PY = R"PY(
import plistlib, sys, json, datetime
def canon(x):
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
    assert sorted(a) == ['$archiver', '$objects', '$top', '$version'], sorted(a)
    assert a['$archiver'] == 'NSKeyedArchiver' and a['$version'] == 100000
    assert a['$top'] == {'root': plistlib.UID(1)}, a['$top']
    objs = a['$objects']
    assert objs[0] == '$null'
    names = [o['$classname'] for o in objs if isinstance(o, dict) and '$classname' in o]
    assert len(names) == len(set(names)), names
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
                assert isinstance(o['NSCode'], int) and set(o) <= {'NSCode', 'NSDomain', 'NSUserInfo', '$class'}
                info = dec(o['NSUserInfo']) if 'NSUserInfo' in o else {}
                assert ('NSUserInfo' in o) == bool(info)
                return {'code': o['NSCode'], 'domain': dec(o['NSDomain']), 'userInfo': info}
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
