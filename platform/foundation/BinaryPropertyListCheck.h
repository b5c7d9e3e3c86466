#pragma once
// The structural check that binary property-list bytes pass before libplist
// reads them: the parser trusts offsets and references, so everything it
// would follow is verified here first.
#include <string_view>

#include "platform/foundation/PropertyList.h"

namespace pf {

// True when the bytes are a well-formed "bplist00" whose object graph is
// acyclic and within the limits (depth, and objects counted as the reader
// would copy them, a shared object once per reference).
bool isWellFormedBinaryPropertyList(std::string_view bytes, const PropertyListLimits& limits);

} // namespace pf
