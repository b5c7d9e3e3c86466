#include "platform/system/SystemLog.h"

#include <errno.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace pf {

namespace {

struct LogState {
    std::mutex mutex;
    SystemLogSink sink;
    bool opened = false;
    std::atomic<int> mirror{-1}; // -1: not yet read from the environment
};

LogState& state() {
    // Never destroyed: threads may still log while the process exits.
    static LogState* s = new LogState;
    return *s;
}

bool mirrorsToStderr(LogState& s) {
    int m = s.mirror.load();
    if (m < 0) {
        const char* env = std::getenv("VICAR_LOG_STDERR");
        int fromEnv = env && std::strcmp(env, "1") == 0 ? 1 : 0;
        s.mirror.compare_exchange_strong(m, fromEnv);
        m = s.mirror.load();
    }
    return m == 1;
}

} // namespace

void systemLog(std::string_view message) {
    LogState& s = state();
    std::string line(message);
    SystemLogSink sink;
    {
        std::lock_guard lock(s.mutex);
        sink = s.sink;
        if (!sink) {
            if (!s.opened) {
                openlog(program_invocation_short_name, LOG_PID, LOG_DAEMON);
                s.opened = true;
            }
            syslog(LOG_NOTICE, "%s", line.c_str());
        }
        if (mirrorsToStderr(s)) {
            std::string text = std::string(program_invocation_short_name) + "[" + std::to_string(getpid()) + "]: " + line + "\n";
            std::fwrite(text.data(), 1, text.size(), stderr);
        }
    }
    // The sink runs outside the lock so it may log itself.
    if (sink) sink(line);
}

void setSystemLogSink(SystemLogSink sink) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.sink = std::move(sink);
}

void setSystemLogMirrorsToStderr(bool on) { state().mirror = on ? 1 : 0; }

} // namespace pf
