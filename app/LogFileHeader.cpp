#include "app/LogFileHeader.h"

#include "platform/foundation/Format.h"

// Read with sed rather than by sourcing the file, so nothing in it runs.
const char* const kOSVersionCommand = "sed -n 's/^PRETTY_NAME=//p' /etc/os-release | tr -d '\"\\n'";
const char* const kOSBuildCommand = "uname -rv | tr -d '\\n'";

namespace {

std::string infoString(const pf::Dictionary& info, const char* key) {
    auto found = info.find(key);
    return found != info.end() && found->second.isString() ? found->second.string() : std::string();
}

} // namespace

std::string logFileHeader(const pf::Dictionary& info, const std::string& osVersion, const std::string& osBuild) {
    const std::string bundleVersion = infoString(info, "CFBundleVersion");
    const std::string shortVersion = infoString(info, "CFBundleShortVersionString");
    const std::string buildIdentifier = infoString(info, "VDBuildIdentifier");

    std::string version;
    if (!shortVersion.empty() && !bundleVersion.empty())
        version = shortVersion + "/" + bundleVersion;
    else if (bundleVersion.empty())
        version = shortVersion;
    else
        version = bundleVersion;
    if (!version.empty() && !buildIdentifier.empty()) version += "/" + buildIdentifier;

    if (version.empty())
        return pf::format("**** OS X Version %s (Build %s) (%s) ****", osVersion.c_str(), osBuild.c_str(),
                          "Intel 64-bit");
    return pf::format("**** %s - OS X Version %s (Build %s) (%s) ****", version.c_str(), osVersion.c_str(),
                      osBuild.c_str(), "Intel 64-bit");
}

std::string machineCPUText(std::uint32_t physicalCPUs, std::uint32_t availableCPUs) {
    if (availableCPUs <= physicalCPUs) return pf::format("%u", physicalCPUs);
    return pf::format("%u (%u)", physicalCPUs, availableCPUs);
}
