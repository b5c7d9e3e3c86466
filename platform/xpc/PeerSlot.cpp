#include "platform/xpc/PeerSlot.h"

#include <unistd.h>

#include <map>
#include <mutex>

#include "platform/xpc/Limits.h"

namespace pf::xpc::detail {

namespace {

// Process-wide by nature: every listener shares the process's descriptors.
struct Counts {
    std::mutex mutex;
    std::map<uid_t, std::size_t> perUid; // accepted and not yet gone, root excepted
    std::size_t admitted = 0;
};

Counts& counts() {
    static Counts shared;
    return shared;
}

// Root, and the uid the process runs as: every peer of a user's own service
// is that user's, so a share would only bound the service itself.
bool hasNoShare(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

} // namespace

std::unique_ptr<PeerSlot> PeerSlot::reserve(uid_t uid) {
    auto& c = counts();
    std::lock_guard lock(c.mutex);
    if (!hasNoShare(uid)) {
        auto& held = c.perUid[uid];
        if (held >= kMaxPeersPerUid) return nullptr;
        ++held;
    }
    return std::unique_ptr<PeerSlot>(new PeerSlot(uid));
}

bool PeerSlot::admit() {
    auto& c = counts();
    std::lock_guard lock(c.mutex);
    if (admitted_) return true;
    const std::size_t limit = hasNoShare(uid_) ? kMaxPeersPerListener : kMaxPeersPerListener - kRootReservedPeers;
    if (c.admitted >= limit) return false;
    ++c.admitted;
    admitted_ = true;
    return true;
}

PeerSlot::~PeerSlot() {
    auto& c = counts();
    std::lock_guard lock(c.mutex);
    if (admitted_) --c.admitted;
    if (hasNoShare(uid_)) return;
    if (auto it = c.perUid.find(uid_); it != c.perUid.end() && --it->second == 0) c.perUid.erase(it);
}

} // namespace pf::xpc::detail
