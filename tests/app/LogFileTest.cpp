#include <gtest/gtest.h>

#include <regex>

#include "app/LogFileHeader.h"
#include "app/VDApplication.h"
#include "platform/system/BackupExclusion.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(ApplicationLogFile, HeaderFromTheVersionKeys) {
    const std::string system = "OS X Version 12 (Build 6.1 #1) (Intel 64-bit) ****";
    const struct {
        pf::Dictionary info;
        std::string header;
    } cases[] = {
        {{{"CFBundleShortVersionString", "1.2"}, {"CFBundleVersion", "34"}, {"VDBuildIdentifier", "abc"}},
         "**** 1.2/34/abc - " + system},
        {{{"CFBundleVersion", "34"}, {"VDBuildIdentifier", "abc"}}, "**** 34/abc - " + system},
        {{{"CFBundleShortVersionString", "1.2"}}, "**** 1.2 - " + system},
        {{{"VDBuildIdentifier", "abc"}}, "**** " + system},
        {{{"CFBundleShortVersionString", 5}, {"CFBundleVersion", "34"}}, "**** 34 - " + system},
    };
    for (const auto& c : cases) EXPECT_EQ(logFileHeader(c.info, "12", "6.1 #1"), c.header);
    EXPECT_EQ(machineCPUText(2, 4), "2 (4)");
    EXPECT_EQ(machineCPUText(4, 4), "4");
}

TEST(ApplicationLogFile, FileRouteFiltersLevelsBehindTheHeader) {
    vt::TempDir dir;
    const std::string folder = dir / "deep/Logs";
    VDApplication app;
    app.createLogFile(std::nullopt, pf::URL::fileURLWithPath(folder, true));
    vdlog_handle* handle = app.logHandle();
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(pf::isBackupExcluded(folder));
    app.setLogHandle(handle); // the current handle: neither closed nor replaced, so the lines below arrive

    app.logWithLevel(7, "hidden %d", 7);
    app.logWithLevel(1, "shown %@", "error");
    app.log("ordinary");
    app.setLogHandle(nullptr);

    const std::string text = vt::readFile(folder + "/com.vandrelsys.VolumeSmith.vicar.log");
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    for (const char* line : {": **** 1.0.8 - OS X Version ", " (Intel 64-bit) ****\n", ": [E] shown error\n", ": [I] ordinary\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    // The machine line follows the header, tagged as an ordinary line.
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\(Intel 64-bit\) \*\*\*\*\n[^\n]*: \[I\] \*\*\*\* [^\n]+: )"
                                                   R"(\d+( \(\d+\))? CPUs @ \d+ Mhz, [^\n]+ RAM \*\*\*\*\n)")))
        << text;
}

} // namespace
