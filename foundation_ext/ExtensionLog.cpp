#include "foundation_ext/ExtensionLog.h"

#include <mutex>

#include "foundation_ext/ExceptionCallStack.h"
#include "platform/system/SystemLog.h"

namespace {

std::mutex& loggerMutex() {
    static std::mutex mutex;
    return mutex;
}

VDExtensionLogger& installedLogger() {
    static VDExtensionLogger logger;
    return logger;
}

} // namespace

void VDSetExtensionLogger(VDExtensionLogger logger) {
    std::lock_guard lock(loggerMutex());
    installedLogger() = std::move(logger);
}

void VDExtensionLogMessage(std::uint32_t level, const std::string& message) {
    VDExtensionLogger logger;
    {
        std::lock_guard lock(loggerMutex());
        logger = installedLogger();
    }
    // Called outside the lock, so a logger that logs again cannot deadlock.
    if (logger)
        logger(level, message);
    else
        pf::systemLog(message);
}

void VDExtLogException(const char* function, unsigned line, const pf::Exception& exception) {
    VDExtLog(1, "%s::%u Exception: %@ Backtrace: %@", function, line, exception,
             vd_formattedCallStackReturnAddresses(exception));
}
