#include "foundation_ext/VDUppercaseStringFormatter.h"

#include "platform/system/CaseMapping.h"

bool VDUppercaseStringFormatter::getObjectValue(pf::Value* object, const std::string& string,
                                                std::string* errorDescription) const {
    if (object) *object = pf::Value(string);
    if (errorDescription) errorDescription->clear();
    return true;
}

bool VDUppercaseStringFormatter::isPartialStringValid(std::string* partialString, std::string* errorDescription) const {
    if (errorDescription) errorDescription->clear();
    if (!partialString) return true;
    std::string upper = pf::uppercaseString(*partialString);
    if (upper == *partialString) return true;
    *partialString = std::move(upper);
    return false;
}
