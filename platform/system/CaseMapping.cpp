#include "platform/system/CaseMapping.h"

#include <unicode/ucasemap.h>

#include <climits>
#include <memory>

namespace pf {

std::string uppercaseString(std::string_view text) {
    if (text.size() > INT32_MAX / 3) return std::string(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(ucasemap_open("", 0, &status), &ucasemap_close);
    if (U_FAILURE(status)) return std::string(text);
    // Upper-casing grows UTF-8 text by at most three times (one byte to three).
    std::string out(text.size() * 3, '\0');
    const int32_t length = ucasemap_utf8ToUpper(map.get(), out.data(), static_cast<int32_t>(out.size()), text.data(),
                                                static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status)) return std::string(text);
    out.resize(static_cast<std::size_t>(length));
    return out;
}

} // namespace pf
