#pragma once
// The share of connections a peer holds, counted for every listener of the
// process. From accept on, a peer counts against its uid's own share
// (kMaxPeersPerUid; root and the process's own uid have none), so a user who
// floods the socket only exhausts that share; it takes one of the
// kMaxPeersPerListener connection slots only once admitted, so refused peers
// never count against anyone else, and the last kRootReservedPeers slots are
// root's (and the process's own uid's) alone.
#include <sys/types.h>

#include <memory>

namespace pf::xpc::detail {

class PeerSlot {
public:
    // nullptr when the uid's share is used up.
    static std::unique_ptr<PeerSlot> reserve(uid_t uid);
    ~PeerSlot();
    PeerSlot(const PeerSlot&) = delete;
    PeerSlot& operator=(const PeerSlot&) = delete;

    // Takes a connection slot for the admitted peer; false when none is left
    // for its uid. Idempotent.
    bool admit();

private:
    explicit PeerSlot(uid_t uid) : uid_(uid) {}
    const uid_t uid_;
    bool admitted_ = false;
};

} // namespace pf::xpc::detail
