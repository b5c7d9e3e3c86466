#include "sysinfo/SystemDescriptions.h"

#include "platform/foundation/Format.h"
#include "sysinfo/LocalizedPhrase.h"

namespace {

template <class... A>
std::string localized(const char* phrase, const A&... args) {
    return pf::format(VDLocalizedPhrase(phrase), args...);
}

} // namespace

std::string VDProcessorDescription(const pf::Value& speed, const pf::Value& type, std::uint32_t physicalCPUs,
                                   std::uint32_t logicalCPUs) {
    if (physicalCPUs < 2) return pf::format("%@ %@", speed, type);
    if (logicalCPUs <= physicalCPUs) return localized("%@ %@, %u cores", speed, type, physicalCPUs);
    return localized("%@ %@, %u cores, %u threads", speed, type, physicalCPUs, logicalCPUs);
}

std::string VDUptimeDescription(std::int64_t u) {
    if (u < 1) return VDLocalizedPhrase("Unknown");
    const auto d = static_cast<std::uint64_t>(u / 86400), r = static_cast<std::uint64_t>(u % 86400);
    const auto h = static_cast<unsigned>(r / 3600), q = static_cast<unsigned>(r % 3600), m = q / 60;
    std::string phrase;
    if (d == 1) phrase = localized("1 day, %u:%02u", h, m);
    else if (d >= 2) phrase = localized("%u days, %u:%02u", d, h, m);
    else if (r < 3600) phrase = q < 120 ? localized("1 minute") : localized("%u minutes", m);
    else if (r < 7200) phrase = q < 120 ? localized("1 hour") : localized("1 hour, %u minutes", m);
    else phrase = q < 120 ? localized("%u hours", h) : localized("%u hours, %u minutes", h, m);
    return localized("%@ since last restart", phrase);
}
