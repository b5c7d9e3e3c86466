#include "sysinfo/LocalizedPhrase.h"

#include "platform/foundation/BundleStrings.h"

std::string VDLocalizedPhrase(std::string_view phrase) {
    const auto bundle = pf::Bundle::mainBundle();
    return bundle ? pf::localizedStringForKey(*bundle, phrase, "") : std::string(phrase);
}
