// The application's own log file: its handle, and opening one with its header.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utf8cpp/utf8.h>

#include "app/LogFileHeader.h"
#include "app/VDApplication.h"
#include "foundation_ext/BundleExtensions.h"
#include "platform/foundation/Bundle.h"
#include "platform/system/BackupExclusion.h"
#include "platform/system/Sysctl.h"
#include "support/log/LogFile.h"
#include "support/log/Path.h"
#include "support/log/ShellOutput.h"
#include "sysinfo/NumberByteValue.h"
#include "sysinfo/VDSystemInformation.h"

namespace {

// Creates the folder and its missing parents (0755), each one it creates
// given to the real user, so a set-uid program's log folder stays the
// user's. Failures are left to the open that follows.
void createDirectoriesOwnedByRealUser(const std::string& directory) {
    std::string prefix;
    std::size_t at = 0;
    while (at != std::string::npos && at < directory.size()) {
        const std::size_t next = directory.find('/', at + 1);
        prefix = directory.substr(0, next);
        at = next;
        if (prefix.empty() || prefix == "/") continue;
        if (::mkdir(prefix.c_str(), 0755) == 0)
            (void)::fchownat(AT_FDCWD, prefix.c_str(), ::getuid(), static_cast<gid_t>(-1), AT_SYMLINK_NOFOLLOW);
    }
}

} // namespace

void VDApplication::setLogHandle(vdlog_handle* handle) {
    if (handle == logHandle_) return;
    if (logHandle_) vdlog_close(logHandle_);
    logHandle_ = handle;
}

void VDApplication::createLogFile(const std::optional<std::string>& name, const std::optional<pf::URL>& directory) {
    const std::shared_ptr<pf::Bundle> bundle = pf::Bundle::mainBundle();
    const std::string fileName = name ? *name : pf::format("%@.log", humanReadableName(*bundle));
    std::string folder;
    if (directory) {
        folder = directory->path();
    } else {
        folder = applicationSupportPath();
        vdpath_join(folder, "Logs");
    }
    createDirectoriesOwnedByRealUser(folder);
    // Linux has one kind of exclusion, so "by path" (as root) and "by item" are the same mark.
    (void)pf::setBackupExcluded(folder); // a no-op when the mark is there

    std::string path = folder;
    vdpath_join(path, fileName);
    vdlog_handle* handle = nullptr;
    try {
        handle = vdlog_open(path.c_str());
    } catch (const utf8::exception&) {
        // A name that is not UTF-8 opens no log, like any other failure.
    }
    if (!handle) return;

    if (handle->header.empty())
        handle->header = logFileHeader(bundle->infoDictionary(), vdshell_output(kOSVersionCommand),
                                       vdshell_output(kOSBuildCommand));
    if (handle->options & kLogOptionWriteHeader) vdlog_write(handle, kLogLevelHeader, "%s", handle->header.c_str());
    setLogHandle(handle);

    const VDSystemInformation& facts = VDSystemInformation::systemInformation();
    const std::optional<std::string> model = facts.machineModelName();
    // The reading is a 32-bit count of hertz; one that fails shows as 0 MHz.
    const auto hertz = static_cast<std::uint32_t>(pf::sysctlInteger("hw.cpufrequency").value_or(0));
    log("**** %@: %@ CPUs @ %u Mhz, %@ RAM ****", model ? model->c_str() : nullptr,
        machineCPUText(facts.physicalCPUCount(), facts.availableCPUCount()), hertz / 1000000,
        binaryHumanReadableStringFromByteCount(facts.physicalMemory()));
}
