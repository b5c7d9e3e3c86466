#pragma once
// A weak reference that keeps the object's hash, so it can stay in a hashed
// collection after the object has gone. Equal to another reference while
// both objects are alive and equal.
#include <cstddef>
#include <memory>

#include "platform/foundation/Object.h"

class VDWeakObjectReference : public pf::Object {
public:
    explicit VDWeakObjectReference(const std::shared_ptr<const pf::Object>& object);

    std::shared_ptr<const pf::Object> weakObject() const { return _weakObject.lock(); }
    // The object's hash (its identity, as the platform's default) taken at creation.
    std::size_t hash() const { return _objHash; }
    bool isEqual(const pf::Object& other) const override;

private:
    std::size_t _objHash;
    std::weak_ptr<const pf::Object> _weakObject;
};
