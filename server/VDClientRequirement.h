#pragma once
// Who may ask the root daemon: the rules of `SMAuthorizedClients` in the
// embedded Info.plist. A peer is admitted when one rule matches its kernel
// credentials (nothing a peer sends is ever taken as its identity):
//
//   uid N             the peer's effective uid is N
//   user NAME         ... is that of the user NAME
//   gid N / group NAME  N (or NAME's gid) is the peer's primary or a supplementary group
//   signed IDENTIFIER the peer's executable lies in a bundle laid out as
//                     Name.app/Contents/MacOS/<executable>, the bundle validates with the
//                     bundle-signature facility, the running executable's bytes are the
//                     ones its manifest seals, and Contents/Info.plist (also sealed) has
//                     CFBundleIdentifier IDENTIFIER
//
// The executable is reached through the peer's pidfd, so a recycled pid can
// never pass; a checked executable is remembered only by what its owner
// cannot forge (device, inode, size, ctime). A process running it is still
// refused when something else may speak through it (VDPeerProcess.h: traced,
// loader variables, a connection it did not make itself).
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/xpc/PeerCredentials.h"

class VDClientRequirement {
public:
    // Rules that do not parse are dropped with a log line; unknown user or
    // group names never match.
    static std::shared_ptr<VDClientRequirement> fromRules(const pf::Value& rules);
    // The requirement of the embedded Info.plist, widened by the rules an
    // administrator lists in /etc/vicar/authorized-clients (one per line,
    // "#" comments; $VICAR_AUTHORIZED_CLIENTS_FILE for tests), a file read
    // only when root owns it and nobody else may write it. Nobody is admitted
    // when no usable rule remains.
    static std::shared_ptr<VDClientRequirement> fromMainBundle();

    // nullopt when admitted, else why not.
    std::optional<std::string> refusalReason(const pf::xpc::PeerCredentials& peer) const;

    struct Rule {
        enum class Kind { Uid, Gid, Signed } kind;
        std::uint32_t id = 0;
        std::string identifier;
    };
    const std::vector<Rule>& rules() const { return rules_; }

private:
    std::vector<Rule> rules_;
};

// The bundle identifier of the signed bundle that holds the process's
// executable, or nullopt with the reason.
std::optional<std::string> VDSignedIdentifierOfPeer(const pf::xpc::PeerCredentials& peer, std::string* why);
