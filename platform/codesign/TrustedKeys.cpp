#include "platform/codesign/TrustedKeys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/FileAccess.h"
#include "platform/codesign/Limits.h"
#include "platform/codesign/SealablePath.h"

namespace pf::codesign {

namespace {

constexpr const char* kDefaultTrustedKeysDirectory = "/etc/vicar/trusted-keys";

bool ownedByTrustedUser(const struct stat& st) {
    const uid_t me = ::geteuid();
    return st.st_uid == 0 || st.st_uid == me;
}

} // namespace

std::string trustedKeysDirectory() {
    // secure_getenv: a set-id caller cannot be pointed at a folder of the user's choosing.
    const char* overridden = ::secure_getenv("VICAR_TRUSTED_KEYS_DIR");
    return overridden && *overridden ? overridden : kDefaultTrustedKeysDirectory;
}

std::optional<Ed25519Key> loadTrustedKey(std::string_view name, std::string* why) {
    if (!isValidKeyName(name)) {
        *why = "the signing key's name is not valid";
        return std::nullopt;
    }
    const std::string folder = trustedKeysDirectory();
    std::string reason;
    UniqueFd dir = openFolder(folder, &reason);
    if (!dir) {
        *why = "the trusted-keys folder cannot be used (" + reason + ")";
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0) {
        *why = describeErrno("the trusted-keys folder " + folder + " cannot be examined");
        return std::nullopt;
    }
    if (!ownedByTrustedUser(st)) {
        *why = "the trusted-keys folder " + folder + " is not owned by root";
        return std::nullopt;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *why = "the trusted-keys folder " + folder + " is writable by group or others";
        return std::nullopt;
    }
    const std::string file = std::string(name) + ".pub";
    if (::fstatat(dir.get(), file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        *why = "the signing key \"" + std::string(name) + "\" is not trusted";
        return std::nullopt;
    }
    auto pem = readRegularFileAt(dir.get(), file, kMaxKeyFileBytes, &reason, &st);
    if (!pem) {
        *why = "the trusted key \"" + std::string(name) + "\" cannot be read (" + reason + ")";
        return std::nullopt;
    }
    if (!ownedByTrustedUser(st) || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        *why = "the trusted key file " + folder + "/" + file + " is writable by others than root";
        return std::nullopt;
    }
    auto key = Ed25519Key::fromPublicPem(*pem, &reason);
    if (!key) *why = "the trusted key " + folder + "/" + file + " is not usable (" + reason + ")";
    return key;
}

} // namespace pf::codesign
