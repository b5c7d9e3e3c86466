#pragma once
// One text form of a property-list value, printed the same way by the C++
// side and by the Python snippets (CANON_PY), so the two readers' views of
// the same bytes can be compared as strings. Objects print as the Python
// unarchiver prints them: URLs as {"URL": string}, errors as
// {"code":..,"domain":..,"userInfo":{..}}.
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace vt {

std::string canonical(const pf::Value& value);
std::string canonicalError(const pf::Error& error);
pf::Data fromHex(const std::string& hex);

// Python definitions of canon(x) and a strict unarchive(bytes) matching the above.
extern const char* const CANON_PY;

} // namespace vt
