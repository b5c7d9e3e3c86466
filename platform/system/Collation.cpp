#include "platform/system/Collation.h"

#include <unicode/ucol.h>

#include <cstdint>
#include <memory>

namespace pf {

namespace {

struct CollatorDeleter {
    void operator()(UCollator* collator) const { ucol_close(collator); }
};
using Collator = std::unique_ptr<UCollator, CollatorDeleter>;

// ICU collators may be used from one thread at a time, so each thread keeps
// its own pair (created once).
Collator makeCollator(UColAttributeValue strength) {
    UErrorCode status = U_ZERO_ERROR;
    Collator collator(ucol_open("", &status));
    if (U_FAILURE(status)) return nullptr;
    ucol_setAttribute(collator.get(), UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    ucol_setAttribute(collator.get(), UCOL_STRENGTH, strength, &status);
    return U_FAILURE(status) ? nullptr : std::move(collator);
}

int collate(UCollator* collator, std::string_view a, std::string_view b) {
    if (!collator) return 0;
    UErrorCode status = U_ZERO_ERROR;
    const auto result = ucol_strcollUTF8(collator, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                         static_cast<int32_t>(b.size()), &status);
    if (U_FAILURE(status)) return 0;
    return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

} // namespace

int compareCaseInsensitiveNumeric(std::string_view a, std::string_view b) {
    thread_local Collator secondary = makeCollator(UCOL_SECONDARY);
    thread_local Collator tertiary = makeCollator(UCOL_TERTIARY);
    if (a.size() > INT32_MAX || b.size() > INT32_MAX) return a < b ? -1 : a > b ? 1 : 0;
    if (int order = collate(secondary.get(), a, b)) return order;
    if (int order = collate(tertiary.get(), a, b)) return order;
    return a < b ? -1 : a > b ? 1 : 0;
}

} // namespace pf
