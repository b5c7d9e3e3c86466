#include "app/VDSelector.h"

#include <map>
#include <mutex>
#include <vector>

#include "platform/foundation/Exception.h"

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::vector<VDSelector::Implementation>, std::less<>> byName;
};

Registry& registry() {
    static Registry r;
    return r;
}

} // namespace

VDSelector VDSelector::defineImplementation(std::string name, Implementation implementation) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.byName[name].push_back(std::move(implementation));
    return VDSelector(std::move(name));
}

void VDSelector::perform(pf::Object& target, const pf::Value& argument) const {
    std::vector<Implementation> candidates;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        if (auto found = r.byName.find(name_); found != r.byName.end()) candidates = found->second;
    }
    for (const auto& implementation : candidates)
        if (implementation(target, argument)) return;
    pf::raise(pf::NSInvalidArgumentException, "unrecognized selector sent to instance: " + name_);
}
