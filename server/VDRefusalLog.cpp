#include "server/VDRefusalLog.h"

#include "app/VDApplication.h"

namespace {

// Uids remembered at once; past it, windows that ended with nothing
// suppressed are forgotten (their next refusal just starts a new one).
constexpr std::size_t kMaxUidsRemembered = 1024;

} // namespace

VDRefusalLog::VDRefusalLog(std::chrono::seconds interval, int linesPerInterval)
    : interval_(interval), linesPerInterval_(linesPerInterval) {}

void VDRefusalLog::refused(uid_t uid, pid_t pid, const std::string& why) {
    const auto now = std::chrono::steady_clock::now();
    std::uint64_t suppressed = 0;
    bool write = false;
    {
        std::lock_guard lock(mutex_);
        if (windows_.size() >= kMaxUidsRemembered) {
            std::erase_if(windows_, [&](const auto& entry) {
                return entry.second.suppressed == 0 && now - entry.second.start >= interval_;
            });
        }
        auto [it, fresh] = windows_.try_emplace(uid, Window{now, 0, 0});
        Window& window = it->second;
        if (!fresh && now - window.start >= interval_) {
            suppressed = window.suppressed;
            window = Window{now, 0, 0};
        }
        write = window.written < linesPerInterval_;
        if (write)
            ++window.written;
        else
            ++window.suppressed;
    }
    if (suppressed)
        VDLog(1, "%llu more refusals of peers of uid %u were not logged", static_cast<unsigned long long>(suppressed),
              static_cast<unsigned>(uid));
    if (write) VDLog(1, "refused peer uid %u pid %d: %@", static_cast<unsigned>(uid), static_cast<int>(pid), why);
}
