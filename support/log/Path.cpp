#include "support/log/Path.h"

#include <climits>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

std::string_view withoutTrailingSlash(std::string_view path) {
    if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

} // namespace

void vdpath_parent(std::string& path) {
    if (path.empty() || vdpath_is_root(path)) return;
    if (path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        path.clear();
    else
        path.resize(slash == 0 ? 1 : slash);
}

std::string vdpath_filename(std::string_view path) {
    path = withoutTrailingSlash(path);
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string vdpath_extension(std::string_view path) {
    const std::string name = vdpath_filename(path);
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

void vdpath_join(std::string& path, std::string_view component) {
    if (component.empty()) return;
    if (!path.empty() && path.back() != '/') path += '/';
    path += component;
}

bool vdpath_is_root(std::string_view path) { return path == "/"; }

std::string vdpath_canonical(const std::string& path) {
    // realpath() refuses longer paths itself; checking first also bounds the
    // recursion below to PATH_MAX / 2 levels.
    if (path.size() >= PATH_MAX) return path;
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (real) return real.get();
    if (errno != ENOENT || vdpath_is_root(path)) return path;

    std::string parent = path;
    vdpath_parent(parent);
    if (parent.empty()) {
        std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
        if (!cwd) return path;
        std::string result = cwd.get();
        vdpath_join(result, path);
        return result;
    }
    std::string result = vdpath_canonical(parent);
    vdpath_join(result, vdpath_filename(path));
    return result;
}
