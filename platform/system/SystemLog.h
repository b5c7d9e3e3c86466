#pragma once
// The system log (syslog(3) with the process's name as ident). Tests install
// a sink to capture lines instead.
#include <functional>
#include <string>
#include <string_view>

namespace pf {

void systemLog(std::string_view message);

// While a sink is installed every line goes to it instead of syslog.
// Passing an empty function removes it. Thread-safe.
using SystemLogSink = std::function<void(const std::string& line)>;
void setSystemLogSink(SystemLogSink sink);

// Also copy every line to standard error (for tools run in a terminal, and the
// launcher/tests that want to see the daemon's log): VICAR_LOG_STDERR=1.
void setSystemLogMirrorsToStderr(bool on);

} // namespace pf
