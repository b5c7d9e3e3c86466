#pragma once
// How the queue side lays out one line of a log file. Internal to the log
// library; a header of its own so the layout can be checked at fixed times.
#include <sys/time.h>

#include <cstdint>
#include <string>
#include <string_view>

// "[E]" and the others; nullptr for levels without a tag.
const char* vdlog_level_tag(std::uint32_t level);

// Appends to `line` an hour line when the local hour (or day, month or UTC
// offset) of `when` differs from hour_stamp, which is then updated; then
// ":MM:SS.mmm: ", the level's tag and a blank, the message, and a newline
// unless the message ends with one.
void vdlog_compose_line(std::string& line, std::int64_t& hour_stamp, std::uint32_t level, std::string_view message,
                        const timeval& when);
