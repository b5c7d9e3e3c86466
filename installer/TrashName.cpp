#include "installer/TrashName.h"

#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

#include <memory>

namespace {

// The time as the locale writes it; empty when ICU cannot give a pattern.
std::string formattedTime(double unixMilliseconds, const icu::Locale& locale) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::DateTimePatternGenerator> generator(
        icu::DateTimePatternGenerator::createInstance(locale, status));
    if (U_FAILURE(status) || !generator) return {};
    icu::UnicodeString pattern = generator->getBestPattern(icu::UnicodeString::fromUTF8("h.mm.ss a"), status);
    if (U_FAILURE(status)) return {};
    // A literal replacement: ":" has no special meaning outside quotes, and
    // inside them it is text the name may not hold either.
    pattern.findAndReplace(icu::UnicodeString(u":"), icu::UnicodeString(u"."));
    icu::SimpleDateFormat format(pattern, locale, status);
    if (U_FAILURE(status)) return {};
    icu::UnicodeString text;
    format.format(static_cast<UDate>(unixMilliseconds), text);
    std::string utf8;
    text.toUTF8String(utf8);
    return utf8;
}

} // namespace

std::string VDTimeStampedTrashName(const std::string& name, double unixMilliseconds,
                                   const std::string& localeIdentifier) {
    const icu::Locale locale =
        localeIdentifier.empty() ? icu::Locale::getDefault() : icu::Locale(localeIdentifier.c_str());
    const std::string time = formattedTime(unixMilliseconds, icu::Locale(locale.getName()));
    // The extension is what follows the last "." of the name, unless the
    // name starts with that dot (".hidden" has none).
    const std::size_t dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0 && dot + 1 < name.size();
    const std::string stem = hasExtension ? name.substr(0, dot) : name;
    std::string result = stem + " " + time;
    if (hasExtension) result += name.substr(dot);
    return result;
}
