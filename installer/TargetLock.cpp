#include "installer/TargetLock.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace {

bool overlap(const std::string& a, const std::string& b) {
    const std::string& shorter = a.size() <= b.size() ? a : b;
    const std::string& longer = a.size() <= b.size() ? b : a;
    if (shorter.empty() || longer.compare(0, shorter.size(), shorter) != 0) return false;
    return longer.size() == shorter.size() || shorter.back() == '/' || longer[shorter.size()] == '/';
}

// Every install of the process meets every other here, whichever installer
// object it runs on: the table cannot belong to one of them.
struct HeldTargets {
    std::mutex mutex;
    std::condition_variable released;
    std::vector<const std::vector<std::string>*> held;

    bool free(const std::vector<std::string>& wanted) const {
        return std::none_of(held.begin(), held.end(), [&](const std::vector<std::string>* other) {
            return std::any_of(wanted.begin(), wanted.end(), [&](const std::string& path) {
                return std::any_of(other->begin(), other->end(),
                                   [&](const std::string& taken) { return overlap(path, taken); });
            });
        });
    }
};

HeldTargets& table() {
    static HeldTargets targets;
    return targets;
}

} // namespace

VDTargetLock::VDTargetLock(std::vector<std::string> paths) : paths_(std::move(paths)) {
    HeldTargets& targets = table();
    std::unique_lock lock(targets.mutex);
    targets.released.wait(lock, [&] { return targets.free(paths_); });
    targets.held.push_back(&paths_);
}

VDTargetLock::~VDTargetLock() {
    HeldTargets& targets = table();
    {
        std::lock_guard lock(targets.mutex);
        targets.held.erase(std::find(targets.held.begin(), targets.held.end(), &paths_));
    }
    targets.released.notify_all();
}
