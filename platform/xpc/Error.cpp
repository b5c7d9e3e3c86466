#include "platform/xpc/Error.h"

namespace pf::xpc {

const std::shared_ptr<Error>& Error::singleton(Kind kind) {
    // Function-local statics, so the constants may be initialised from any
    // translation unit in any order; never destroyed, because the IO thread
    // may still deliver one while the process exits.
    static const auto* invalid = new std::shared_ptr<Error>(new Error(Kind::ConnectionInvalid));
    static const auto* interrupted = new std::shared_ptr<Error>(new Error(Kind::ConnectionInterrupted));
    static const auto* terminating = new std::shared_ptr<Error>(new Error(Kind::TerminationImminent));
    switch (kind) {
    case Kind::ConnectionInvalid: return *invalid;
    case Kind::ConnectionInterrupted: return *interrupted;
    case Kind::TerminationImminent: return *terminating;
    }
    return *invalid;
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
