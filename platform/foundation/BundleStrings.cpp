#include "platform/foundation/BundleStrings.h"

#include <cstdlib>
#include <vector>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SmallFile.h"
#include "platform/foundation/StringsFile.h"

namespace pf {

namespace {

// String tables are small; a larger file is not read.
constexpr PropertyListLimits kStringTableLimits{1u << 20, 65536, 4};

std::string languageFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        const std::string_view setting(value);
        const std::string language(setting.substr(0, setting.find_first_of("_.@")));
        if (language == "C" || language == "POSIX") return {};
        return language;
    }
    return {};
}

std::vector<std::string> localizationOrder(const Bundle& bundle) {
    std::vector<std::string> order;
    if (auto language = languageFromEnvironment(); !language.empty()) order.push_back(language);
    if (const Value* region = bundle.objectForInfoDictionaryKey("CFBundleDevelopmentRegion");
        region && region->isString() && !region->string().empty())
        order.push_back(region->string());
    for (const char* fallback : {"en", "English", "Base"}) order.emplace_back(fallback);
    order.emplace_back(); // the non-localised resources
    return order;
}

Dictionary stringTable(const Bundle& bundle, std::string_view table) {
    for (const auto& localization : localizationOrder(bundle)) {
        auto url = bundle.URLForResource(table, "strings", {}, localization);
        if (!url) continue;
        const auto bytes = readSmallRegularFile(url->path(), kStringTableLimits.maxBytes);
        if (!bytes) continue;
        auto plist = propertyListFromBytes(*bytes, kStringTableLimits);
        if (plist && plist->isDictionary()) return plist->dictionary();
        if (auto table = parseStringsText(*bytes, kStringTableLimits.maxObjects)) return *table;
    }
    return {};
}

} // namespace

std::string localizedStringForKey(const Bundle& bundle, std::string_view key, std::string_view value,
                                  std::string_view table) {
    const Dictionary strings = stringTable(bundle, table.empty() ? "Localizable" : table);
    if (auto it = strings.find(key); it != strings.end() && it->second.isString()) return it->second.string();
    return std::string(value.empty() ? key : value);
}

Dictionary localizedInfoDictionary(const Bundle& bundle) {
    Dictionary info = bundle.infoDictionary();
    for (const auto& [key, entry] : stringTable(bundle, "InfoPlist"))
        if (entry.isString()) info[key] = entry;
    return info;
}

} // namespace pf
