#include "platform/system/Membership.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace pf {
namespace {

// Calls a re-entrant lookup with a buffer that grows on ERANGE.
template <class Entry, class Lookup>
std::optional<Entry> lookup(Lookup&& call) {
    std::vector<char> buffer(4096);
    for (;;) {
        Entry entry{};
        Entry* found = nullptr;
        const int rc = call(&entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !found) return std::nullopt;
        return entry; // only plain fields are read by the callers before the buffer goes
    }
}

template <class F>
auto withPasswdByUid(uid_t uid, F&& f) -> decltype(f(std::declval<const passwd&>())) {
    std::vector<char> buffer(4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !found) return std::nullopt;
        return f(entry);
    }
}

} // namespace

std::optional<uid_t> userIdForName(std::string_view name) {
    const std::string text(name);
    auto entry = lookup<passwd>([&](passwd* e, char* b, size_t n, passwd** r) { return ::getpwnam_r(text.c_str(), e, b, n, r); });
    if (!entry) return std::nullopt;
    return entry->pw_uid;
}

std::optional<gid_t> groupIdForName(std::string_view name) {
    const std::string text(name);
    auto entry = lookup<group>([&](group* e, char* b, size_t n, group** r) { return ::getgrnam_r(text.c_str(), e, b, n, r); });
    if (!entry) return std::nullopt;
    return entry->gr_gid;
}

std::optional<std::string> userNameForUid(uid_t uid) {
    return withPasswdByUid(uid, [](const passwd& p) -> std::optional<std::string> {
        return p.pw_name ? std::optional<std::string>(p.pw_name) : std::nullopt;
    });
}

std::optional<std::string> homeDirectoryForUid(uid_t uid) {
    return withPasswdByUid(uid, [](const passwd& p) -> std::optional<std::string> {
        if (!p.pw_dir || !*p.pw_dir) return std::nullopt;
        return std::string(p.pw_dir);
    });
}

} // namespace pf
