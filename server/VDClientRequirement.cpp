#include "server/VDClientRequirement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>

#include "app/VDApplication.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/Sha256.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/system/Membership.h"
#include "server/VDPeerProcess.h"

namespace {

std::optional<std::uint32_t> parseId(const std::string& text) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long value = std::stoul(text);
    if (value > 0xFFFFFFFEul) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::string readAll(int fd) {
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<size_t>(n));
        if (bytes.size() > (4u << 20)) return {};
    }
    return bytes;
}

// What the owner of a file cannot forge: a write, chmod or chown moves ctime.
struct FileKey {
    dev_t dev;
    ino_t ino;
    off_t size;
    long ctimeSec;
    long ctimeNsec;
    auto operator<=>(const FileKey&) const = default;
};

std::mutex gCacheLock;
std::map<FileKey, std::optional<std::string>> gCheckedExecutables;

std::optional<std::string> checkExecutable(int exeFd, const std::string& exePath, std::string* why) {
    // <bundle>/Contents/MacOS/<executable>
    const std::filesystem::path exe(exePath);
    const auto macos = exe.parent_path();
    const auto contents = macos.parent_path();
    if (macos.filename() != "MacOS" || contents.filename() != "Contents") {
        *why = "its executable lies in no bundle";
        return std::nullopt;
    }
    const std::string bundle = contents.parent_path().string();
    std::string reason;
    // The whole bundle must validate, not only its manifest's signature.
    auto manifest = pf::codesign::verifyBundle(bundle, &reason);
    if (!manifest) {
        *why = "its bundle is not validly signed (" + reason + ")";
        return std::nullopt;
    }
    const std::string relative = "Contents/MacOS/" + exe.filename().string();
    const auto* entry = manifest->find(relative);
    if (::lseek(exeFd, 0, SEEK_SET) != 0) {
        *why = "its executable cannot be read";
        return std::nullopt;
    }
    auto digest = pf::codesign::sha256File(exeFd);
    if (!entry || entry->kind != pf::codesign::SealedManifest::Entry::File || !digest ||
        pf::codesign::toHex(*digest) != entry->hashHex) {
        *why = "the running executable is not the one its bundle seals";
        return std::nullopt;
    }
    // The identifier comes from the sealed bytes only.
    const int info = ::open((bundle + "/Contents/Info.plist").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const std::string bytes = info >= 0 ? readAll(info) : std::string();
    if (info >= 0) ::close(info);
    pf::codesign::Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    const auto* infoEntry = manifest->find("Contents/Info.plist");
    auto plist = pf::propertyListFromBytes(bytes);
    if (!infoEntry || pf::codesign::toHex(hash.final()) != infoEntry->hashHex || !plist || !plist->isDictionary()) {
        *why = "its bundle's Info.plist is not sealed";
        return std::nullopt;
    }
    const pf::Value* identifier = plist->find("CFBundleIdentifier");
    if (!identifier || !identifier->isString()) {
        *why = "its bundle has no identifier";
        return std::nullopt;
    }
    return identifier->string();
}

// The identifier the executable's bundle seals, remembered per file.
std::optional<std::string> identifierOfExecutable(const VDPeerProcess::Executable& exe, std::string* why) {
    struct stat st {}, onPath {};
    if (::fstat(exe.fd.get(), &st) != 0 || ::stat(exe.path.c_str(), &onPath) != 0 || st.st_dev != onPath.st_dev ||
        st.st_ino != onPath.st_ino) {
        *why = "the peer's executable was replaced on disk";
        return std::nullopt;
    }
    const FileKey key{st.st_dev, st.st_ino, st.st_size, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    {
        std::lock_guard lock(gCacheLock);
        if (auto it = gCheckedExecutables.find(key); it != gCheckedExecutables.end()) {
            if (!it->second) *why = "its executable failed an earlier check";
            return it->second;
        }
    }
    auto identifier = checkExecutable(exe.fd.get(), exe.path, why);
    // Only the bundle's answer for these exact bytes is remembered; a later
    // change to the file changes its ctime and so its key.
    std::lock_guard lock(gCacheLock);
    if (gCheckedExecutables.size() > 1024) gCheckedExecutables.clear();
    gCheckedExecutables[key] = identifier;
    return identifier;
}

} // namespace

std::optional<std::string> VDSignedIdentifierOfPeer(const pf::xpc::PeerCredentials& peer, std::string* why) {
    auto process = VDPeerProcess::open(peer.pidfd, why);
    if (!process) return std::nullopt;
    auto exe = process->executable();
    if (!exe) {
        *why = "the peer's executable cannot be reached";
        return std::nullopt;
    }
    auto identifier = identifierOfExecutable(*exe, why);
    if (!identifier) return std::nullopt;
    // Looked at after the executable: a program that wrote to the connection
    // and then ran the signed one is already the signed one here, so the
    // descriptors seen are the new program's.
    if (auto untrusted = process->untrustworthy(peer.socketInode)) {
        *why = "signed as " + *identifier + ", but " + *untrusted;
        return std::nullopt;
    }
    return identifier;
}

namespace {

std::optional<VDClientRequirement::Rule> parseRule(const std::string& text) {
    using Rule = VDClientRequirement::Rule;
    std::istringstream words(text);
    std::string kind, argument, extra;
    words >> kind >> argument >> extra;
    if (!extra.empty() || argument.empty()) return std::nullopt;
    if (kind == "uid") {
        if (auto id = parseId(argument)) return Rule{Rule::Kind::Uid, *id, {}};
    } else if (kind == "gid") {
        if (auto id = parseId(argument)) return Rule{Rule::Kind::Gid, *id, {}};
    } else if (kind == "user") {
        if (auto id = pf::userIdForName(argument)) return Rule{Rule::Kind::Uid, *id, {}};
    } else if (kind == "group") {
        if (auto id = pf::groupIdForName(argument)) return Rule{Rule::Kind::Gid, *id, {}};
    } else if (kind == "signed") {
        return Rule{Rule::Kind::Signed, 0, argument};
    }
    return std::nullopt;
}

constexpr const char* kAdministratorRules = "/etc/vicar/authorized-clients";
constexpr off_t kMaxRulesFileBytes = 64 * 1024;

// The administrator's rules: one per line, "#" starts a comment. Only a
// regular file that root owns (or the daemon's own user, when a test runs it
// unprivileged) and nobody else may write is read; anything else is ignored
// with a log line, so a planted file can never widen the requirement.
pf::Array administratorRules() {
    const char* override = std::getenv("VICAR_AUTHORIZED_CLIENTS_FILE");
    const std::string path = override && *override ? override : kAdministratorRules;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) VDLog(2, "%@ cannot be read and is ignored", path);
        return {};
    }
    struct stat st {};
    pf::Array rules;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != ::geteuid()) ||
        (st.st_mode & 022) != 0 || st.st_size > kMaxRulesFileBytes) {
        VDLog(1, "%@ is not a regular file that only root may write; its rules are ignored", path);
    } else {
        std::istringstream lines(readAll(fd));
        for (std::string line; std::getline(lines, line);) {
            line = line.substr(0, line.find('#'));
            if (line.find_first_not_of(" \t\r") != std::string::npos) rules.emplace_back(line);
        }
    }
    ::close(fd);
    return rules;
}

} // namespace

std::shared_ptr<VDClientRequirement> VDClientRequirement::fromRules(const pf::Value& rules) {
    auto requirement = std::make_shared<VDClientRequirement>();
    if (!rules.isArray()) {
        VDLog(1, "SMAuthorizedClients is not a list of rules; nobody is admitted");
        return requirement;
    }
    for (const auto& item : rules.array()) {
        std::optional<Rule> rule = item.isString() ? parseRule(item.string()) : std::nullopt;
        if (rule)
            requirement->rules_.push_back(std::move(*rule));
        else
            VDLog(2, "SMAuthorizedClients: rule \"%@\" is not usable and is ignored",
                  item.isString() ? item.string() : item.description());
    }
    return requirement;
}

std::shared_ptr<VDClientRequirement> VDClientRequirement::fromMainBundle() {
    const pf::Value* shipped = pf::Bundle::mainBundle()->objectForInfoDictionaryKey("SMAuthorizedClients");
    pf::Array rules = shipped && shipped->isArray() ? shipped->array() : pf::Array{};
    for (auto& rule : administratorRules()) rules.push_back(std::move(rule));
    return fromRules(pf::Value(std::move(rules)));
}

std::optional<std::string> VDClientRequirement::refusalReason(const pf::xpc::PeerCredentials& peer) const {
    std::string signedWhy;
    std::optional<std::optional<std::string>> signedIdentifier; // looked up at most once
    for (const auto& rule : rules_) {
        switch (rule.kind) {
        case Rule::Kind::Uid:
            if (peer.euid == rule.id) return std::nullopt;
            break;
        case Rule::Kind::Gid:
            if (peer.egid == rule.id || peer.isMember(rule.id)) return std::nullopt;
            break;
        case Rule::Kind::Signed:
            if (!signedIdentifier) signedIdentifier = VDSignedIdentifierOfPeer(peer, &signedWhy);
            if (*signedIdentifier == rule.identifier) return std::nullopt;
            if (*signedIdentifier && signedWhy.empty()) signedWhy = "signed as " + **signedIdentifier;
            break;
        }
    }
    if (rules_.empty()) return "no client rule admits anyone";
    return signedWhy.empty() ? std::string("no rule admits it") : "no rule admits it; " + signedWhy;
}
