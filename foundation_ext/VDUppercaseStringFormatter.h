#pragma once
// A text-field formatter that keeps what is typed in upper case: a partial
// string with lower-case letters is replaced by its upper-case form and
// refused, so the field shows the replacement.
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class VDUppercaseStringFormatter {
public:
    pf::Value stringForObjectValue(const pf::Value& object) const { return object; }
    bool getObjectValue(pf::Value* object, const std::string& string, std::string* errorDescription) const;
    // The ranges of the platform's call carry no information here and are left out.
    bool isPartialStringValid(std::string* partialString, std::string* errorDescription) const;
    // No attributed form: nullopt.
    std::optional<std::string> attributedStringForObjectValue(const pf::Value&) const { return std::nullopt; }
};
