#include "platform/xpc/Error.h"

namespace pf::xpc {

std::shared_ptr<Error> Error::singleton(Kind kind) {
    // Function-local statics, so the inline constants may be initialised from
    // any translation unit in any order.
    static const std::shared_ptr<Error> invalid(new Error(Kind::ConnectionInvalid));
    static const std::shared_ptr<Error> interrupted(new Error(Kind::ConnectionInterrupted));
    static const std::shared_ptr<Error> terminating(new Error(Kind::TerminationImminent));
    switch (kind) {
    case Kind::ConnectionInvalid: return invalid;
    case Kind::ConnectionInterrupted: return interrupted;
    case Kind::TerminationImminent: return terminating;
    }
    return invalid;
}

std::string Error::description() const {
    switch (kind_) {
    case Kind::ConnectionInvalid: return "Connection invalid";
    case Kind::ConnectionInterrupted: return "Connection interrupted";
    case Kind::TerminationImminent: return "Termination imminent";
    }
    return "Connection invalid";
}

} // namespace pf::xpc
