#pragma once
// One text form of a property-list value, printed the same way by the C++
// side and by the Python snippets (CANON_PY), so the two readers' views of
// the same bytes can be compared as strings.
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace vt {

std::string canonical(const pf::Value& value);
// An error as the Python unarchiver prints it: {"code":..,"domain":..,"userInfo":{..}},
// URLs as {"URL": string}, nested errors the same way.
std::string canonicalError(const pf::Error& error);
pf::Data fromHex(const std::string& hex);

// Python definitions of canon(x) and unarchive(bytes) matching the above.
extern const char* const CANON_PY;

} // namespace vt
