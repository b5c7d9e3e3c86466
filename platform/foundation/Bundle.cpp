#include "platform/foundation/Bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/foundation/PropertyList.h"

namespace pf {

namespace {

bool isDirectoryNoFollow(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string& embeddedInfoPlist() {
    static std::string bytes;
    return bytes;
}

Dictionary dictionaryFrom(const std::optional<Value>& plist) {
    return plist && plist->isDictionary() ? plist->dictionary() : Dictionary{};
}

// A name taken from a bundle (or a caller) must stay inside the folder it is looked up in.
bool isSafeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/') return false;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t slash = path.find('/', i);
        if (slash == std::string_view::npos) slash = path.size();
        if (path.substr(i, slash - i) == "..") return false;
        i = slash + 1;
    }
    return path.find('\0') == std::string_view::npos;
}

} // namespace

Bundle::Bundle(URL url, Dictionary info, bool contents)
    : url_(std::move(url)), info_(std::move(info)), hasContentsFolder_(contents) {}

std::shared_ptr<Bundle> Bundle::bundleWithURL(const URL& url) {
    if (!url.isFileURL()) return nullptr;
    std::string path = url.path();
    if (!isDirectoryNoFollow(path)) return nullptr;
    bool contents = isDirectoryNoFollow(path + "/Contents");
    URL directory = url.directoryURL();
    std::string infoPath = path + (contents ? "/Contents/Info.plist" : "/Info.plist");
    return std::shared_ptr<Bundle>(new Bundle(directory, dictionaryFrom(propertyListFromFile(infoPath)), contents));
}

std::shared_ptr<Bundle> Bundle::bundleWithPath(std::string_view path) {
    auto url = URL::fileURLWithPath(path, true);
    return url ? bundleWithURL(*url) : nullptr;
}

void Bundle::registerEmbeddedInfoPlist(std::string_view bytes) { embeddedInfoPlist() = std::string(bytes); }

std::shared_ptr<Bundle> Bundle::mainBundle() {
    static std::once_flag once;
    static std::shared_ptr<Bundle> main;
    std::call_once(once, [] {
        char exe[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        std::string folder = "/";
        if (n > 0) {
            std::string path(exe, std::size_t(n));
            std::size_t slash = path.rfind('/');
            if (slash != std::string::npos && slash > 0) folder = path.substr(0, slash);
        }
        Dictionary info;
        if (!embeddedInfoPlist().empty()) {
            info = dictionaryFrom(propertyListFromBytes(std::string_view(embeddedInfoPlist())));
        } else {
            info = dictionaryFrom(propertyListFromFile(folder + "/Info.plist"));
        }
        auto url = URL::fileURLWithPath(folder, true);
        main = std::shared_ptr<Bundle>(new Bundle(url ? *url : *URL::fileURLWithPath("/", true), std::move(info), false));
    });
    return main;
}

URL Bundle::contentsURL() const { return hasContentsFolder_ ? url_.URLByAppendingPathComponent("Contents", true) : url_; }

URL Bundle::resourceURL() const {
    return hasContentsFolder_ ? contentsURL().URLByAppendingPathComponent("Resources", true) : url_;
}

std::optional<URL> Bundle::URLForResource(std::string_view name, std::string_view ext, std::string_view subdirectory,
                                          std::string_view localization) const {
    std::string leaf(name);
    if (!ext.empty()) leaf += "." + std::string(ext);
    std::string relative;
    if (!localization.empty()) relative += std::string(localization) + ".lproj/";
    if (!subdirectory.empty()) {
        relative += std::string(subdirectory);
        if (relative.back() != '/') relative += '/';
    }
    relative += leaf;
    if (name.empty() || !isSafeRelativePath(relative)) return std::nullopt;
    std::string path = resourceURL().path() + "/" + relative;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return std::nullopt;
    return URL::fileURLWithPath(path, S_ISDIR(st.st_mode));
}

std::optional<URL> Bundle::executableURL() const {
    const Value* name = objectForInfoDictionaryKey("CFBundleExecutable");
    if (!name || !name->isString() || !isSafeRelativePath(name->string()) ||
        name->string().find('/') != std::string::npos) {
        return std::nullopt;
    }
    URL folder = hasContentsFolder_ ? contentsURL().URLByAppendingPathComponent("MacOS", true) : url_;
    std::string path = folder.path() + "/" + name->string();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return std::nullopt;
    return URL::fileURLWithPath(path, false);
}

const Value* Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    auto it = info_.find(key);
    return it == info_.end() ? nullptr : &it->second;
}

std::string Bundle::bundleIdentifier() const {
    const Value* id = objectForInfoDictionaryKey("CFBundleIdentifier");
    return id && id->isString() ? id->string() : std::string();
}

} // namespace pf
