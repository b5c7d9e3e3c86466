#pragma once
// A null marker of which every instance is distinct, unlike the platform's
// one null object: two markers never compare equal.
#include <memory>

#include "platform/foundation/Object.h"

class VDNullDistinct : public pf::Object {
public:
    static std::shared_ptr<VDNullDistinct> null() { return std::make_shared<VDNullDistinct>(); }
    static bool isNull(const pf::Object* object) { return dynamic_cast<const VDNullDistinct*>(object) != nullptr; }
    std::string description() const override { return "<null>"; }
};
