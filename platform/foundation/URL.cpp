#include "platform/foundation/URL.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace pf {

namespace {

// The five components of a URL reference (RFC 3986, appendix B).
struct Parts {
    std::optional<std::string> scheme;
    std::optional<std::string> authority;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool isValidScheme(std::string_view s) {
    if (s.empty() || !isAlpha(s.front())) return false;
    for (char c : s)
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

// Only characters that may appear unescaped in a URL, well-formed escapes,
// and at most one "#".
bool hasLegalCharacters(std::string_view s) {
    bool seenFragment = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (isAlpha(c) || isDigit(c)) continue;
        switch (c) {
        case '-': case '.': case '_': case '~':
        case ':': case '/': case '?': case '[': case ']': case '@':
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
            continue;
        case '#':
            if (seenFragment) return false;
            seenFragment = true;
            continue;
        case '%':
            if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2])) return false;
            i += 2;
            continue;
        default: return false;
        }
    }
    return true;
}

Parts parse(std::string_view s) {
    Parts p;
    std::size_t colon = s.find_first_of(":/?#");
    if (colon != std::string_view::npos && s[colon] == ':' && isValidScheme(s.substr(0, colon))) {
        p.scheme = std::string(s.substr(0, colon));
        s.remove_prefix(colon + 1);
    }
    if (s.starts_with("//")) {
        std::size_t end = s.find_first_of("/?#", 2);
        if (end == std::string_view::npos) end = s.size();
        p.authority = std::string(s.substr(2, end - 2));
        s.remove_prefix(end);
    }
    std::size_t hash = s.find('#');
    if (hash != std::string_view::npos) {
        p.fragment = std::string(s.substr(hash + 1));
        s = s.substr(0, hash);
    }
    std::size_t question = s.find('?');
    if (question != std::string_view::npos) {
        p.query = std::string(s.substr(question + 1));
        s = s.substr(0, question);
    }
    p.path = std::string(s);
    return p;
}

std::string compose(const Parts& p) {
    std::string s;
    if (p.scheme) s += *p.scheme + ":";
    if (p.authority) s += "//" + *p.authority;
    s += p.path;
    if (p.query) s += "?" + *p.query;
    if (p.fragment) s += "#" + *p.fragment;
    return s;
}

// RFC 3986, 5.2.4.
std::string removeDotSegments(std::string_view in) {
    std::string out;
    while (!in.empty()) {
        if (in.starts_with("../")) {
            in.remove_prefix(3);
        } else if (in.starts_with("./")) {
            in.remove_prefix(2);
        } else if (in.starts_with("/./")) {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../") || in == "/..") {
            in = in.size() == 3 ? std::string_view("/") : in.substr(3);
            std::size_t last = out.rfind('/');
            out.erase(last == std::string::npos ? 0 : last);
        } else if (in == "." || in == "..") {
            in = {};
        } else {
            std::size_t next = in.find('/', in.front() == '/' ? 1 : 0);
            if (next == std::string_view::npos) next = in.size();
            out += in.substr(0, next);
            in.remove_prefix(next);
        }
    }
    return out;
}

// RFC 3986, 5.2.3.
std::string merge(const Parts& base, const std::string& refPath) {
    if (base.authority && base.path.empty()) return "/" + refPath;
    std::size_t slash = base.path.rfind('/');
    return slash == std::string::npos ? refPath : base.path.substr(0, slash + 1) + refPath;
}

// RFC 3986, 5.2.2.
Parts resolve(const Parts& ref, const Parts& base) {
    Parts t;
    if (ref.scheme) {
        t = ref;
        t.path = removeDotSegments(ref.path);
        return t;
    }
    t.scheme = base.scheme;
    t.fragment = ref.fragment;
    if (ref.authority) {
        t.authority = ref.authority;
        t.path = removeDotSegments(ref.path);
        t.query = ref.query;
        return t;
    }
    t.authority = base.authority;
    if (ref.path.empty()) {
        t.path = base.path;
        t.query = ref.query ? ref.query : base.query;
    } else {
        t.path = removeDotSegments(ref.path.front() == '/' ? ref.path : merge(base, ref.path));
        t.query = ref.query;
    }
    return t;
}

std::string decodedPath(const std::string& raw) {
    auto decoded = removePercentEscapes(raw);
    // A decoded NUL would cut the path short when it reaches the file system;
    // such a path is kept in its escaped form, which names no other file.
    if (!decoded || decoded->find('\0') != std::string::npos) return raw;
    return *decoded;
}

std::string withoutTrailingSlash(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

} // namespace

std::optional<URL> URL::fileURLWithPath(std::string_view path, bool isDirectory) {
    if (path.empty()) return std::nullopt;
    std::string absolute;
    if (path.front() != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return std::nullopt;
        absolute = cwd;
        if (absolute.back() != '/') absolute += '/';
    }
    absolute += path;
    if (isDirectory && absolute.back() != '/') absolute += '/';
    return URL("file://" + addPercentEscapes(absolute));
}

std::optional<URL> URL::fileURLWithPath(std::string_view path) {
    if (path.empty()) return std::nullopt;
    struct stat st;
    bool isDirectory = path.back() == '/' || (lstat(std::string(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    return fileURLWithPath(path, isDirectory);
}

std::optional<URL> URL::URLWithString(std::string_view s) {
    // Any URL reference will do, as the platform forms one: "/srv/target" is
    // a URL without scheme whose path is /srv/target. A relative reference
    // whose first segment holds a ":" would read as a scheme, so it is none.
    if (s.empty() || !hasLegalCharacters(s)) return std::nullopt;
    const Parts parts = parse(s);
    if (!parts.scheme && !parts.authority && !parts.path.starts_with('/')) {
        const std::size_t firstSegmentEnd = parts.path.find('/');
        if (parts.path.substr(0, firstSegmentEnd).find(':') != std::string::npos) return std::nullopt;
    }
    return URL(std::string(s));
}

std::optional<URL> URL::URLWithString(std::string_view s, const URL& base) {
    if (!hasLegalCharacters(s)) return std::nullopt;
    Parts target = resolve(parse(s), parse(base.string_));
    if (!target.scheme) return std::nullopt;
    return URL(compose(target));
}

std::string URL::scheme() const { return parse(string_).scheme.value_or(std::string()); }

bool URL::isFileURL() const {
    std::string s = scheme();
    return s.size() == 4 && (s[0] | 0x20) == 'f' && (s[1] | 0x20) == 'i' && (s[2] | 0x20) == 'l' &&
           (s[3] | 0x20) == 'e';
}

std::string URL::path() const { return withoutTrailingSlash(decodedPath(parse(string_).path)); }

bool URL::hasDirectoryPath() const {
    const std::string p = parse(string_).path;
    return !p.empty() && p.back() == '/';
}

std::string URL::lastPathComponent() const {
    std::string p = path();
    if (p.empty() || p == "/") return p;
    std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::vector<std::string> URL::pathComponents() const {
    std::string p = path();
    std::vector<std::string> components;
    if (!p.empty() && p.front() == '/') components.push_back("/");
    std::size_t i = 0;
    while (i < p.size()) {
        std::size_t slash = p.find('/', i);
        if (slash == std::string::npos) slash = p.size();
        if (slash > i) components.push_back(p.substr(i, slash - i));
        i = slash + 1;
    }
    return components;
}

std::string URL::pathExtension() const {
    std::string last = lastPathComponent();
    std::size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return {};
    return last.substr(dot + 1);
}

URL URL::URLByAppendingPathComponent(std::string_view component, bool isDirectory) const {
    Parts p = parse(string_);
    if (p.path.empty() || p.path.back() != '/') p.path += '/';
    p.path += addPercentEscapes(component);
    if (isDirectory && p.path.back() != '/') p.path += '/';
    return URL(compose(p));
}

URL URL::URLByDeletingLastPathComponent() const {
    Parts p = parse(string_);
    p.query.reset();
    p.fragment.reset();
    std::string path = withoutTrailingSlash(p.path);
    std::size_t slash = path.rfind('/');
    if (path.empty() || path == "/") {
        p.path = "/"; // the root is its own parent
    } else if (slash == std::string::npos) {
        p.path = "./";
    } else {
        p.path = path.substr(0, slash + 1);
    }
    return URL(compose(p));
}

URL URL::URLByStandardizingPath() const {
    Parts p = parse(string_);
    const bool directory = !p.path.empty() && p.path.back() == '/';
    auto decoded = removePercentEscapes(p.path);
    if (isFileURL() && decoded && !p.path.empty()) {
        std::string standard = standardizePath(*decoded);
        if (directory && standard.back() != '/') standard += '/';
        p.path = addPercentEscapes(standard);
    } else {
        p.path = removeDotSegments(p.path);
    }
    return URL(compose(p));
}

URL URL::directoryURL() const {
    Parts p = parse(string_);
    if (!p.path.empty() && p.path.back() == '/') return *this;
    p.path += '/';
    return URL(compose(p));
}

bool URL::isEqual(const Object& other) const {
    auto u = dynamic_cast<const URL*>(&other);
    return u && u->string_ == string_;
}

} // namespace pf
