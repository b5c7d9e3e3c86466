#pragma once
// Logging for the extensions. They sit below the application frame, so they
// cannot call it directly: the application installs its logWithLevel as the
// logger, and until it does every line goes to the system log.
//
// VDExtGuardNamed is the exception convention's named form
// ("%s::%u Exception: %@ Backtrace: %@") for code at this layer.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/foundation/Exception.h"
#include "platform/foundation/Format.h"

using VDExtensionLogger = std::function<void(std::uint32_t level, const std::string& message)>;
// An empty function restores the system log. Thread-safe.
void VDSetExtensionLogger(VDExtensionLogger logger);
void VDExtensionLogMessage(std::uint32_t level, const std::string& message);

template <class... A>
void VDExtLog(std::uint32_t level, std::string_view format, const A&... args) {
    VDExtensionLogMessage(level, pf::format(format, args...));
}

void VDExtLogException(const char* function, unsigned line, const pf::Exception& exception);

template <class F>
bool VDExtGuardNamed(const char* function, unsigned line, F&& step) {
    try {
        std::forward<F>(step)();
        return true;
    } catch (const pf::Exception& exception) {
        VDExtLogException(function, line, exception);
        return false;
    }
}
