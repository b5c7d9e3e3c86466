#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <vector>

namespace pf {

class NotificationCenter::Observation {
public:
    Observation(std::uint64_t id, std::string name, const void* object, Block block)
        : id(id), name(std::move(name)), object(object), block(std::move(block)) {}

    const std::uint64_t id; // registration order
    const std::string name; // empty: every name
    const void* const object; // nullptr: every sender
    const Block block;
    std::atomic<bool> removed{false};
};

// Observers of one name are found without looking at any other name's;
// observers of every name have a list of their own.
struct NotificationCenter::State {
    std::mutex mutex;
    std::uint64_t nextId = 1;
    std::map<std::string, std::map<std::uint64_t, ObserverHandle>, std::less<>> byName;
    std::map<std::uint64_t, ObserverHandle> anyName;
};

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers may still post while the process exits.
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter::ObserverHandle NotificationCenter::addObserver(std::string_view name, const void* object, Block block) {
    std::lock_guard lock(state_->mutex);
    auto observation = std::make_shared<Observation>(state_->nextId++, std::string(name), object, std::move(block));
    if (name.empty()) {
        state_->anyName.emplace(observation->id, observation);
    } else {
        auto it = state_->byName.find(name);
        if (it == state_->byName.end()) it = state_->byName.emplace(std::string(name), std::map<std::uint64_t, ObserverHandle>{}).first;
        it->second.emplace(observation->id, observation);
    }
    return observation;
}

void NotificationCenter::removeObserver(const ObserverHandle& handle) {
    if (!handle) return;
    std::lock_guard lock(state_->mutex);
    handle->removed = true;
    if (handle->name.empty()) {
        state_->anyName.erase(handle->id);
        return;
    }
    auto it = state_->byName.find(handle->name);
    if (it == state_->byName.end()) return;
    it->second.erase(handle->id);
    if (it->second.empty()) state_->byName.erase(it);
}

void NotificationCenter::deliver(const std::shared_ptr<State>& state, const Notification& note) {
    std::vector<ObserverHandle> matching;
    {
        std::lock_guard lock(state->mutex);
        auto matches = [&](const ObserverHandle& o) { return !o->object || o->object == note.object.get(); };
        auto named = state->byName.find(note.name);
        if (named != state->byName.end() && !note.name.empty()) {
            for (const auto& [id, o] : named->second)
                if (matches(o)) matching.push_back(o);
        }
        for (const auto& [id, o] : state->anyName)
            if (matches(o)) matching.push_back(o);
    }
    // Both lists are in registration order; together they must be too.
    std::sort(matching.begin(), matching.end(), [](const ObserverHandle& a, const ObserverHandle& b) { return a->id < b->id; });
    // Called outside the lock, so a block may add or remove observers; one
    // removed meanwhile is skipped.
    for (const ObserverHandle& o : matching) {
        if (!o->removed && o->block) o->block(note);
    }
}

void NotificationCenter::post(const Notification& note) { deliver(state_, note); }

void NotificationCenter::post(std::string name, std::shared_ptr<const void> object, Dictionary userInfo) {
    deliver(state_, Notification{std::move(name), std::move(object), std::move(userInfo)});
}

} // namespace pf
