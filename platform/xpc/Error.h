#pragma once
// The error events of a connection. There are exactly three error objects,
// compared by identity (event == kConnectionInvalid) or by kind().
//
// - kConnectionInvalid: the connection is dead for good (cancelled; a peer
//   whose client went away or sent a malformed frame; a listener whose socket
//   could not be made; a client whose service name does not exist at all).
//   It is the last event a handler receives.
// - kConnectionInterrupted: a client's service went away (closed, crashed,
//   refused the connection); pending replies fail, the next send reconnects.
// - kTerminationImminent: defined for the layers above; this transport never
//   delivers it by itself.
#include <memory>
#include <string>

#include "platform/xpc/Object.h"

namespace pf::xpc {

class Error final : public Object {
public:
    enum class Kind { ConnectionInvalid, ConnectionInterrupted, TerminationImminent };

    Kind kind() const { return kind_; }
    // "Connection invalid", "Connection interrupted", "Termination imminent".
    std::string description() const override;

    // The one error object of each kind (the three constants below).
    static const std::shared_ptr<Error>& singleton(Kind kind);

private:
    explicit Error(Kind kind) : kind_(kind) {}
    Kind kind_;
};

// Inline references: initialised before any later definition of a translation
// unit that includes this header, so static initialisers may use them; what
// they name is never destroyed, so they stay valid while the process exits.
inline const std::shared_ptr<Error>& kConnectionInvalid = Error::singleton(Error::Kind::ConnectionInvalid);
inline const std::shared_ptr<Error>& kConnectionInterrupted = Error::singleton(Error::Kind::ConnectionInterrupted);
inline const std::shared_ptr<Error>& kTerminationImminent = Error::singleton(Error::Kind::TerminationImminent);

} // namespace pf::xpc
