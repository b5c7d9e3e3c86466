#pragma once
// The root of the XPC object family: what an event handler receives is a
// Dictionary (a message), a Connection (a new peer, on a listener) or an Error.
// Tell them apart with std::dynamic_pointer_cast.
#include "platform/foundation/Object.h"

namespace pf::xpc {

class Object : public pf::Object {
public:
    std::string description() const override = 0;
};

} // namespace pf::xpc
