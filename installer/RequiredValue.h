#pragma once
// The required-value convention: a missing required value raises an
// invalid-argument failure "nil @ N!" with the check number of its site.
#include <string_view>

#include "platform/foundation/Exception.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Value.h"

[[noreturn]] inline void VDFailCheck(int checkNumber) {
    pf::raise(pf::NSInvalidArgumentException, pf::format("nil @ %d!", checkNumber));
}

// The entry under key; raises "nil @ N!" when absent. A value that is no
// dictionary raises the platform's type failure.
inline const pf::Value& VDRequiredValue(const pf::Value& dictionary, std::string_view key, int checkNumber) {
    const pf::Value* value = dictionary.find(key);
    if (!value || value->isNull()) VDFailCheck(checkNumber);
    return *value;
}
