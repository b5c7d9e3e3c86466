#pragma once
// A bundle's string tables: "<table>.strings" in the resources, in the first
// localization folder that has the table (the language of LC_ALL,
// LC_MESSAGES or LANG, then the bundle's development region, then "en",
// "English" and "Base"), else among the non-localised resources. A table is
// the text form ("key" = "value";) or a property-list dictionary of strings
// (XML or binary, as compiled tables are); one that does not read counts as
// missing.
#include <string>
#include <string_view>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Value.h"

namespace pf {

// The table's entry for the key; else the value when it is not empty; else
// the key itself. An empty table name means "Localizable".
std::string localizedStringForKey(const Bundle& bundle, std::string_view key, std::string_view value,
                                  std::string_view table = {});

// The info dictionary with the entries of the "InfoPlist" table laid over it.
Dictionary localizedInfoDictionary(const Bundle& bundle);

} // namespace pf
