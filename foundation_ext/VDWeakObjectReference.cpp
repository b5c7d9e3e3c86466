#include "foundation_ext/VDWeakObjectReference.h"

#include <functional>

VDWeakObjectReference::VDWeakObjectReference(const std::shared_ptr<const pf::Object>& object)
    : _objHash(std::hash<const void*>{}(object.get())), _weakObject(object) {}

bool VDWeakObjectReference::isEqual(const pf::Object& other) const {
    const auto* reference = dynamic_cast<const VDWeakObjectReference*>(&other);
    if (!reference) return false;
    const auto mine = weakObject();
    const auto theirs = reference->weakObject();
    return mine && theirs && mine->isEqual(*theirs);
}
