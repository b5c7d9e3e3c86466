#include "support/log/LogFile.h"
#include "support/log/LogLine.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <utf8cpp/utf8.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vt::readFile;

TEST(LogFile, RotatedNames) {
    EXPECT_EQ(vdlog_rotated_name("/d/trace", 0), "/d/trace0");
    EXPECT_EQ(vdlog_rotated_name("a.tar.gz", 4), "a.tar4.gz");
}

TEST(LogFile, OpenFailures) {
    vt::TempDir dir;
    EXPECT_EQ(vdlog_open((dir / "missing/x.log").c_str()), nullptr);
    EXPECT_EQ(vdlog_open(""), nullptr);
    EXPECT_THROW(vdlog_open((dir / "\xFF.log").c_str()), utf8::invalid_utf8);
}

TEST(LogFile, OpenRotatesFiveGenerationsAndStartsWithByteOrderMark) {
    for (bool earlierFiles : {true, false}) {
        vt::TempDir dir;
        if (earlierFiles) {
            vt::writeFile(dir / "x.log", "current");
            for (int n = 0; n <= 4; ++n) vt::writeFile(dir / ("x" + std::to_string(n) + ".log"), "gen" + std::to_string(n));
        }
        vdlog_handle* log = vdlog_open((dir / "x.log").c_str());
        ASSERT_NE(log, nullptr);
        vdlog_close(log);
        EXPECT_EQ(readFile(dir / "x.log"), "\xEF\xBB\xBF");
        EXPECT_EQ((fs::status(dir / "x.log").permissions() & fs::perms::all), fs::perms(0644));
        std::vector<std::string> expected = {"current", "gen0", "gen1", "gen2", "gen3"};
        for (int n = 0; n <= 4; ++n) {
            const std::string generation = dir / ("x" + std::to_string(n) + ".log");
            EXPECT_EQ(fs::exists(generation) ? readFile(generation) : "", earlierFiles ? expected[n] : "");
        }
    }
}

TEST(LogFile, FileThatCannotBeRotatedAwayIsAppendedTo) {
    vt::TempDir dir;
    auto generation = [&](int n) { return n < 0 ? dir / "x.log" : dir / ("x" + std::to_string(n) + ".log"); };
    std::string expected = "Can't unlink " + generation(4) + "\n";
    for (int n = 4; n >= 0; --n) {
        fs::create_directories(generation(n) + "/full");  // neither deleted nor renamed over
        if (n < 4) expected += "Can't rename " + generation(n) + " to " + generation(n + 1) + "\n";
    }
    expected += "Can't rename " + generation(-1) + " to " + generation(0) + "\n";
    vt::writeFile(generation(-1), "current\n");

    testing::internal::CaptureStderr();
    vdlog_rotate(generation(-1), 4);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    testing::internal::CaptureStderr();
    vdlog_handle* log = vdlog_open(generation(-1).c_str());
    (void)testing::internal::GetCapturedStderr();  // the same failures again
    ASSERT_NE(log, nullptr);
    vdlog_write(log, 3, "appended");
    vdlog_close(log);
    const std::string text = readFile(generation(-1));
    EXPECT_EQ(text.substr(0, 8), "current\n");
    EXPECT_EQ(text.find("\xEF\xBB\xBF"), std::string::npos);  // no mark in the middle of a file
    EXPECT_EQ(text.substr(text.size() - 15), ": [I] appended\n");
}

TEST(LogFile, LevelsTagsAndNewlines) {
    vt::TempDir dir;
    vdlog_handle* log = vdlog_open((dir / "levels.log").c_str());
    ASSERT_NE(log, nullptr);
    vdlog_write(log, 5, "above max %d", 4);
    log->queue.wait();
    EXPECT_EQ(log->hour_stamp, -1);  // a dropped line leaves no hour stamp

    vdlog_write(log, kLogLevelHeader, "%s", "**** header ****");
    vdlog_write(log, 1, "error %s", "text");
    vdlog_write(log, 3, "ends in newline\n");
    vdlog_write(log, 0, "%s", "");
    vdlog_write(log, 0, "critical");
    vdlog_close(log);

    // Lines stamped across an hour boundary get a second hour line: skip those.
    std::istringstream lines(readFile(dir / "levels.log").substr(3));
    std::string line, body;
    for (std::getline(lines, line); std::getline(lines, line);)
        if (line[0] == ':') body += line.substr(line.find(": ") + 2) + "\n";
    EXPECT_EQ(body, "**** header ****\n[E] error text\n[I] ends in newline\n[C] critical\n");
}

// Composes the lines in a child with the TZ given, so the parent's zone stays.
std::string composedInZone(const char* zone, const std::vector<std::pair<std::time_t, long>>& times,
                           const char* laterZone = nullptr) {
    const int out = ::memfd_create("lines", MFD_CLOEXEC);
    vt::runInChild([&] {
        ::setenv("TZ", zone, 1);
        ::tzset();
        std::string text;
        std::int64_t stamp = -1;
        for (const auto& [seconds, micros] : times) {
            if (laterZone && &seconds == &times.back().first) {
                ::setenv("TZ", laterZone, 1);
                ::tzset();
            }
            vdlog_compose_line(text, stamp, 3, "text", timeval{seconds, micros});
        }
        return ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
    });
    std::string text(static_cast<std::size_t>(::lseek(out, 0, SEEK_END)), '\0');
    (void)!::pread(out, text.data(), text.size(), 0);
    ::close(out);
    return text;
}

TEST(LogFile, HourLinesFollowTheLocalHourAndOffset) {
    const std::time_t t = 1433160307;  // 2015-06-01 12:05:07 UTC
    const struct {
        const char* zone;
        std::string expected;
    } zones[] = {
        {"UTC", "2015-06-01 12:00:00 +000\n:05:07.5  : [I] text\n"},
        {"UTC-2", "2015-06-01 14:00:00 +200\n:05:07.5  : [I] text\n"},
        {"<-05>5", "2015-06-01 07:00:00 -500\n:05:07.5  : [I] text\n"},
        {"<+0530>-5:30", "2015-06-01 17:00:00 +530\n:35:07.5  : [I] text\n"},
        {"<+10>-10", "2015-06-01 22:00:00 +1000\n:05:07.5  : [I] text\n"},
    };
    for (const auto& z : zones) EXPECT_EQ(composedInZone(z.zone, {{t, 5123}}), z.expected) << z.zone;

    EXPECT_EQ(composedInZone("UTC-2", {{t, 123000}, {t + 60, 0}, {t + 3600, 999999}}),
              "2015-06-01 14:00:00 +200\n:05:07.123: [I] text\n:06:07.0  : [I] text\n"
              "2015-06-01 15:00:00 +200\n:05:07.999: [I] text\n");
    EXPECT_EQ(composedInZone("UTC-2", {{t, 0}, {t + 1, 0}}, "<+0230>-2:30"),
              "2015-06-01 14:00:00 +200\n:05:07.0  : [I] text\n"
              "2015-06-01 14:00:00 +230\n:35:08.0  : [I] text\n");
}

TEST(LogFile, ConcurrentWritersLoseNothingAndKeepTheirOrder) {
    constexpr int kThreads = 8, kLines = 10000;
    vt::TempDir dir;
    vdlog_handle* log = vdlog_open((dir / "threads.log").c_str());
    ASSERT_NE(log, nullptr);
    std::vector<std::thread> writers;
    for (int w = 0; w < kThreads; ++w)
        writers.emplace_back([log, w] {
            for (int i = 0; i < kLines; ++i) vdlog_write(log, 3, "w%d %d", w, i);
        });
    for (auto& t : writers) t.join();
    vdlog_close(log);

    std::vector<int> next(kThreads, 0);
    std::istringstream lines(readFile(dir / "threads.log"));
    for (std::string line; std::getline(lines, line);) {
        int w, i;
        const auto tag = line.find("[I] w");
        if (tag == std::string::npos || std::sscanf(line.c_str() + tag, "[I] w%d %d", &w, &i) != 2) continue;
        ASSERT_TRUE(w >= 0 && w < kThreads);
        ASSERT_EQ(i, next[w]) << "writer " << w;
        ++next[w];
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

} // namespace
