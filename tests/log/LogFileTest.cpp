#include "support/log/LogFile.h"
#include "support/log/LogLine.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <utf8cpp/utf8.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The generation n of x.log in the folder; -1 is x.log itself.
std::string generation(const vt::TempDir& dir, int n) {
    return dir / (n < 0 ? "x.log" : "x" + std::to_string(n) + ".log");
}

TEST(LogFile, OpenRotatesFiveGenerationsAndStartsWithByteOrderMark) {
    vt::TempDir dir;
    for (int n = -1; n <= 4; ++n) vt::writeFile(generation(dir, n), "gen" + std::to_string(n));
    vdlog_handle* log = vdlog_open(generation(dir, -1).c_str());
    ASSERT_NE(log, nullptr);
    vdlog_close(log);
    EXPECT_EQ(vt::readFile(generation(dir, -1)), "\xEF\xBB\xBF");
    EXPECT_EQ((fs::status(generation(dir, -1)).permissions() & fs::perms::all), fs::perms(0644));
    std::string generations;
    for (int n = 0; n <= 4; ++n) generations += vt::readFile(generation(dir, n)) + " ";
    EXPECT_EQ(generations, "gen-1 gen0 gen1 gen2 gen3 ");
    EXPECT_EQ(vdlog_rotated_name("/d/trace", 0), "/d/trace0");

    EXPECT_EQ(vdlog_open((dir / "missing/x.log").c_str()), nullptr);
    EXPECT_EQ(vdlog_open(""), nullptr);
    EXPECT_THROW(vdlog_open((dir / "\xFF.log").c_str()), utf8::invalid_utf8);
}

TEST(LogFile, FileThatCannotBeRotatedAwayIsAppendedTo) {
    vt::TempDir dir;
    std::string expected = "Can't unlink " + generation(dir, 4) + "\n";
    for (int n = 4; n >= 0; --n) {
        fs::create_directories(generation(dir, n) + "/full");  // neither deleted nor renamed over
        if (n < 4) expected += "Can't rename " + generation(dir, n) + " to " + generation(dir, n + 1) + "\n";
    }
    expected += "Can't rename " + generation(dir, -1) + " to " + generation(dir, 0) + "\n";
    vt::writeFile(generation(dir, -1), "current\n");

    testing::internal::CaptureStderr();
    vdlog_rotate(generation(dir, -1), 4);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    testing::internal::CaptureStderr();
    vdlog_handle* log = vdlog_open(generation(dir, -1).c_str());
    (void)testing::internal::GetCapturedStderr();  // the same failures again
    ASSERT_NE(log, nullptr);
    vdlog_write(log, 3, "appended");
    vdlog_close(log);
    const std::string text = vt::readFile(generation(dir, -1));
    EXPECT_EQ(text.substr(0, 8), "current\n");
    EXPECT_EQ(text.find("\xEF\xBB\xBF"), std::string::npos);  // no mark in the middle of a file
    EXPECT_EQ(text.substr(text.size() - 15), ": [I] appended\n");
}

// Lines written before and by many threads at once: levels and tags, a line
// above the maximum level or empty dropped, nothing lost or reordered.
TEST(LogFile, LevelsTagsNewlinesAndConcurrentWritersInOrder) {
    constexpr int kThreads = 8, kLines = 10000;
    vt::TempDir dir;
    vdlog_handle* log = vdlog_open((dir / "x.log").c_str());
    ASSERT_NE(log, nullptr);
    vdlog_write(log, 5, "above max %d", 4);  // dropped, and so is its hour line
    vdlog_write(log, kLogLevelHeader, "%s", "**** header ****");
    vdlog_write(log, 1, "error %s", "text");
    vdlog_write(log, 3, "ends in newline\n");
    vdlog_write(log, 0, "%s", "");
    vdlog_write(log, 0, "critical");
    std::vector<std::thread> writers;
    for (int w = 0; w < kThreads; ++w)
        writers.emplace_back([log, w] {
            for (int i = 0; i < kLines; ++i) vdlog_write(log, 3, "w%d %d", w, i);
        });
    for (auto& t : writers) t.join();
    vdlog_close(log);

    // The first line must be the hour line; lines stamped across an hour
    // boundary get another one, which starts with a digit: skip those.
    std::istringstream lines(vt::readFile(dir / "x.log").substr(3));
    std::string line, body;
    std::vector<int> next(kThreads, 0);
    for (std::getline(lines, line); std::getline(lines, line);) {
        if (line[0] != ':') continue;
        const std::string text = line.substr(line.find(": ") + 2);
        int w, i;
        if (std::sscanf(text.c_str(), "[I] w%d %d", &w, &i) != 2) body += text + "\n";
        else ASSERT_TRUE(w >= 0 && w < kThreads && i == next[w]++) << "lost or out of order before " << text;
    }
    EXPECT_EQ(body, "**** header ****\n[E] error text\n[I] ends in newline\n[C] critical\n");
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

// Composes the lines with TZ set to the zone; the caller calls tzset once TZ is back.
std::string composedInZone(const char* zone, const std::vector<std::pair<std::time_t, long>>& times) {
    const vt::ScopedEnvironment tz("TZ", zone);
    ::tzset();
    std::string text;
    std::int64_t stamp = -1;
    for (const auto& [seconds, micros] : times)
        vdlog_compose_line(text, stamp, 3, "text", timeval{seconds, micros});
    return text;
}

TEST(LogFile, HourLinesFollowTheLocalHourAndOffset) {
    const std::time_t t = 1433160307;  // 2015-06-01 12:05:07 UTC
    const struct {
        const char* zone;
        std::string expected;
    } zones[] = {
        {"UTC", "2015-06-01 12:00:00 +000\n:05:07.5  : [I] text\n"},
        {"<-05>5", "2015-06-01 07:00:00 -500\n:05:07.5  : [I] text\n"},
        {"<+0530>-5:30", "2015-06-01 17:00:00 +530\n:35:07.5  : [I] text\n"},
    };
    for (const auto& z : zones) EXPECT_EQ(composedInZone(z.zone, {{t, 5123}}), z.expected) << z.zone;

    EXPECT_EQ(composedInZone("UTC-2", {{t, 123000}, {t + 60, 0}, {t + 3600, 999999}}),
              "2015-06-01 14:00:00 +200\n:05:07.123: [I] text\n:06:07.0  : [I] text\n"
              "2015-06-01 15:00:00 +200\n:05:07.999: [I] text\n");
    ::tzset();
}

} // namespace
