#include "foundation_ext/BundleExtensions.h"

#include <climits>
#include <vector>

#include "foundation_ext/StringExtensions.h"
#include "platform/foundation/BundleStrings.h"

namespace {

std::optional<std::string> infoString(const pf::Dictionary& info, std::string_view key) {
    auto it = info.find(key);
    if (it == info.end() || !it->second.isString()) return std::nullopt;
    return it->second.string();
}

// A piece of digits read as the platform's intValue: saturated at INT_MAX.
std::uint32_t pieceValue(std::string_view digits) {
    std::uint64_t value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<std::uint32_t>(value);
}

std::vector<std::uint32_t> versionComponents(const std::optional<std::string>& text) {
    if (!text || text->empty()) return {};
    const std::string dotted =
        vd_stringByReplacingCharactersInSet(*text, pf::CharacterSet::characterSetWithCharactersInString("abd"), ".");
    const auto keep = pf::CharacterSet::characterSetWithCharactersInString("0123456789.");
    const std::string clean = vd_stringByRemovingCharactersInSet(dotted, keep.invertedSet());
    std::vector<std::uint32_t> components;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = clean.find('.', start);
        components.push_back(pieceValue(std::string_view(clean).substr(start, dot - start)));
        if (dot == std::string::npos) return components;
        start = dot + 1;
    }
}

std::uint32_t component(const std::vector<std::uint32_t>& components, std::size_t i) {
    return i < components.size() ? components[i] : 0;
}

} // namespace

std::uint32_t vd_packedVersion32(const std::optional<std::string>& text) {
    const auto c = versionComponents(text);
    if (c.empty()) return 0;
    std::uint32_t value = (component(c, 0) & 0xFF) << 24 | (component(c, 1) & 0xFF) << 16 | (component(c, 2) & 0xFF) << 8;
    if (c.size() > 3) return value | (c[3] & 0xFF);
    return value != 0 ? value | 0xFF : 0;
}

std::uint64_t vd_packedVersion64(const std::optional<std::string>& text) {
    const auto c = versionComponents(text);
    if (c.empty()) return 0;
    const std::uint64_t value = std::uint64_t(component(c, 0) & 0xFFFFF) << 24 |
                                std::uint64_t(component(c, 1) & 0xFF) << 16 | std::uint64_t(component(c, 2) & 0xFF) << 8;
    return value != 0 ? value | 0xFF : 0;
}

std::string humanReadableName(const pf::Bundle& bundle) {
    if (auto name = infoString(bundle.infoDictionary(), "SUBundleName")) return *name;
    if (auto name = infoString(pf::localizedInfoDictionary(bundle), "CFBundleName")) return *name;
    if (auto name = infoString(bundle.infoDictionary(), "CFBundleName")) return *name;
    const std::string leaf = bundle.bundleURL().lastPathComponent();
    const std::size_t dot = leaf.rfind('.');
    return dot == std::string::npos || dot == 0 ? leaf : leaf.substr(0, dot);
}

const pf::Value* vandrelBuildIdentifier(const pf::Bundle& bundle) {
    return bundle.objectForInfoDictionaryKey("VDBuildIdentifier");
}

const pf::Value* vandrelBuildTimestamp(const pf::Bundle& bundle) {
    return bundle.objectForInfoDictionaryKey("VDBuildTimestamp");
}

std::optional<std::string> versionString(const pf::Bundle& bundle) {
    return infoString(bundle.infoDictionary(), "CFBundleVersion");
}

std::optional<std::string> marketingVersionString(const pf::Bundle& bundle) {
    return infoString(bundle.infoDictionary(), "CFBundleShortVersionString");
}

std::uint64_t version(const pf::Bundle& bundle) { return vd_packedVersion64(versionString(bundle)); }

std::uint32_t marketingVersion(const pf::Bundle& bundle) { return vd_packedVersion32(marketingVersionString(bundle)); }

std::uint32_t minimumSystemVersion(const pf::Bundle& bundle) {
    return vd_packedVersion32(infoString(bundle.infoDictionary(), "LSMinimumSystemVersion")) & ~0xFFu;
}

std::string vandrelHelpersPath(const pf::Bundle& bundle) { return bundle.bundlePath() + "/Contents/Helpers"; }

std::string pathForHelper(const pf::Bundle& bundle, std::string_view name) {
    return vandrelHelpersPath(bundle) + "/" + std::string(name);
}

pf::URL URLForLoginItem(const pf::Bundle& bundle, std::string_view name) {
    return bundle.bundleURL()
        .URLByAppendingPathComponent("Contents/Library/LoginItems", true)
        .URLByAppendingPathComponent(name, false);
}
