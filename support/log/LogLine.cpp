#include "support/log/LogLine.h"

#include <cstdio>
#include <ctime>

namespace {

// hour | day << 8 | month (0-11) << 16 | (offset minutes & 0xFFFF) << 24,
// bit 63 set for a negative offset.
std::int64_t hourStamp(const std::tm& local) {
    const long offsetMinutes = local.tm_gmtoff / 60;
    std::uint64_t stamp = static_cast<std::uint64_t>(local.tm_hour) | static_cast<std::uint64_t>(local.tm_mday) << 8 |
                          static_cast<std::uint64_t>(local.tm_mon) << 16 |
                          (static_cast<std::uint64_t>(offsetMinutes) & 0xFFFF) << 24;
    if (offsetMinutes < 0) stamp |= std::uint64_t{1} << 63;
    return static_cast<std::int64_t>(stamp);
}

template <class... A>
void appendFormatted(std::string& line, const char* format, A... args) {
    char text[96];
    const int n = std::snprintf(text, sizeof text, format, args...);
    if (n > 0) line.append(text, static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1);
}

} // namespace

const char* vdlog_level_tag(std::uint32_t level) {
    switch (level) {
    case 0: return "[C]";
    case 1: return "[E]";
    case 2: return "[W]";
    case 3: return "[I]";
    case 4: return "[U]";
    case 10: return "[V]";
    case 15: return "[D]";
    case 0xFFFFFFFF: return nullptr;
    default: return level >= 16 ? "[T]" : nullptr;
    }
}

void vdlog_compose_line(std::string& line, std::int64_t& hour_stamp, std::uint32_t level, std::string_view message,
                        const timeval& when) {
    std::tm local{};
    const time_t seconds = when.tv_sec;
    ::localtime_r(&seconds, &local);
    const std::int64_t stamp = hourStamp(local);
    if (stamp != hour_stamp) {
        hour_stamp = stamp;
        const long offsetMinutes = local.tm_gmtoff / 60;
        // Hours carry the sign without zero padding, then two minute digits:
        // +200, -500, +530, +1000.
        appendFormatted(line, "%d-%02d-%02d %02d:00:00 %+02ld%02d\n", local.tm_year + 1900, local.tm_mon + 1,
                        local.tm_mday, local.tm_hour, offsetMinutes / 60,
                        static_cast<int>(offsetMinutes < 0 ? -offsetMinutes % 60 : offsetMinutes % 60));
    }
    appendFormatted(line, ":%02d:%02d.%-3ld: ", local.tm_min, local.tm_sec, static_cast<long>(when.tv_usec / 1000));
    if (const char* tag = vdlog_level_tag(level)) {
        line += tag;
        line += ' ';
    }
    line += message;
    if (message.empty() || message.back() != '\n') line += '\n';
}
