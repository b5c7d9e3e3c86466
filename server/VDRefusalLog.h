#pragma once
// The log line of a refused peer, "refused peer uid U pid P: why", bounded
// per uid: the first linesPerInterval refusals of a uid in each interval are
// written, the rest only counted, and the count is written in one line with
// the uid's first refusal after the interval. A user who floods the socket
// cannot flood the log.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class VDRefusalLog {
public:
    explicit VDRefusalLog(std::chrono::seconds interval = std::chrono::seconds(10), int linesPerInterval = 5);
    void refused(uid_t uid, pid_t pid, const std::string& why);

private:
    struct Window {
        std::chrono::steady_clock::time_point start;
        int written = 0;
        std::uint64_t suppressed = 0;
    };
    const std::chrono::seconds interval_;
    const int linesPerInterval_;
    std::mutex mutex_;
    std::map<uid_t, Window> windows_;
};
