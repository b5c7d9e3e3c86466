#include "sysinfo/HardwareProfile.h"

#include "foundation_ext/ExceptionCallStack.h"
#include "foundation_ext/ExtensionLog.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/PropertyList.h"
#include "sysinfo/LocalizedPhrase.h"

namespace {

const pf::Value& element(const pf::Value& array, std::size_t index) {
    const pf::Array& items = array.array(); // raises when it is no array
    if (index >= items.size()) pf::raise(pf::NSRangeException, "index 0 beyond bounds for empty array");
    return items[index];
}

} // namespace

std::optional<pf::Dictionary> VDHardwareProfileFromProfilerOutput(const pf::Data& output) {
    if (output.empty()) return std::nullopt;
    const auto plist = pf::propertyListFromBytes(output);
    if (!plist) return std::nullopt;
    try {
        const pf::Value* items = element(*plist, 0).find("_items");
        if (!items) return std::nullopt;
        const pf::Value& overview = element(*items, 0);
        if (overview.isDictionary()) return overview.dictionary();
    } catch (const pf::Exception& exception) {
        VDExtLog(1, "Exception @ %u: %@ Backtrace: %@", 277u, exception,
                 vd_formattedCallStackReturnAddresses(exception));
    }
    return std::nullopt;
}

pf::Dictionary VDFallbackHardwareProfile() {
    return {{"cpu_type", "Intel 64-bit"},
            {"current_processor_speed", ""},
            {"machine_name", VDLocalizedPhrase("Macintosh")}};
}
