#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/Date.h"
#include "platform/system/Sysctl.h"
#include "platform/system/VMStatistics.h"
#include "sysinfo/HardwareProfile.h"
#include "sysinfo/SystemDescriptions.h"
#include "sysinfo/VDSystemInformation.h"
#include "tests/support/ChildCheck.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(SystemInformation, ProcessorAndUptimeDescriptions) {
    const pf::Value speed("2.4 GHz"), type("Quad-Core Intel Core i5");
    const std::pair<std::string, std::string> cases[] = {
        {VDProcessorDescription(speed, type, 2, 4), "2.4 GHz Quad-Core Intel Core i5, 2 cores, 4 threads"},
        {VDProcessorDescription(speed, type, 4, 4), "2.4 GHz Quad-Core Intel Core i5, 4 cores"},
        {VDProcessorDescription(speed, type, 1, 8), "2.4 GHz Quad-Core Intel Core i5"},
        {VDUptimeDescription(86400 + 3600 + 60 + 1), "1 day, 1:01 since last restart"},
        {VDUptimeDescription(2 * 86400), "2 days, 0:00 since last restart"},
        {VDUptimeDescription(7320), "2 hours, 2 minutes since last restart"},
        {VDUptimeDescription(3 * 3600 + 60), "3 hours since last restart"},
        {VDUptimeDescription(3720), "1 hour, 2 minutes since last restart"},
        {VDUptimeDescription(3659), "1 hour since last restart"},
        {VDUptimeDescription(125), "2 minutes since last restart"},
        {VDUptimeDescription(119), "1 minute since last restart"},
        {VDUptimeDescription(0), "Unknown"},
    };
    for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

TEST(SystemInformation, ProfilerOutput) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
    const std::string items = head + "<array><dict><key>_items</key><array>";
    vt::LogCapture log;
    struct Case {
        std::string output;
        std::optional<pf::Dictionary> profile;
        bool logged;
    } cases[] = {
        {items + "<dict><key>machine_name</key><string>MacBook Pro</string></dict></array></dict></array></plist>",
         pf::Dictionary{{"machine_name", "MacBook Pro"}}, false},
        {"not a property list", std::nullopt, false},
        {head + "<dict/></plist>", std::nullopt, true},  // no array: the look-up raises
        {head + "<array/></plist>", std::nullopt, true}, // element 0 of an empty array
        {head + "<array><dict/></array></plist>", std::nullopt, false},
        {items + "<string>x</string></array></dict></array></plist>", std::nullopt, false},
        {head + "<array><string>x</string></array></plist>", std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        const std::size_t before = log.lines().size();
        EXPECT_EQ(VDHardwareProfileFromProfilerOutput(pf::Data(c.output.begin(), c.output.end())), c.profile);
        const auto lines = log.lines();
        const bool logged = lines.size() > before && lines.back().find("Exception @ 277: ") != std::string::npos;
        EXPECT_EQ(logged, c.logged) << (lines.empty() ? "" : lines.back());
    }
}

// The kernel readings behind the facts, as Linux answers them.
TEST(SystemInformation, LinuxReadings) {
    const auto integer = [](const char* name) { return pf::sysctlInteger(name).value_or(0); };
    const auto [vm, swap] = pf::hostMemoryReadings();
    ASSERT_TRUE(vm && swap); // every kernel prints the swap lines, swap or not
    const auto pages = static_cast<std::uint64_t>(integer("hw.memsize") / integer("hw.pagesize"));
    EXPECT_GT(vm->free_count, 0u);
    EXPECT_LE(vm->free_count + vm->active_count + vm->inactive_count, pages);
    EXPECT_GT(vm->faults, 0u);
    EXPECT_GT(vm->internal_page_count + vm->external_page_count, 0u);
    EXPECT_LE(swap->xsu_used, swap->xsu_total);
    EXPECT_EQ(swap->xsu_pagesize, static_cast<std::uint64_t>(integer("hw.pagesize")));
    EXPECT_GE(integer("hw.physicalcpu_max"), 1);
    EXPECT_LE(integer("hw.physicalcpu_max"), integer("hw.logicalcpu_max"));
    EXPECT_GT(integer("kern.boottime"), 0);
    EXPECT_LE(integer("kern.boottime"), static_cast<std::int64_t>(pf::Date::now().secondsSince1970));
    if (vt::readFile("/proc/cpuinfo").find("cpu MHz") != std::string::npos) {
        EXPECT_GT(integer("hw.cpufrequency"), 1000000);
    }
}

// The caches are process-wide and filled once, so the injected readings are
// seen by a fresh child.
int injectedReadings() {
    auto& info = VDSystemInformation::systemInformation;
    pf::VMStatistics vm;
    vm.free_count = 3;
    vm.purgeable_count = 7;
    {
        pf::SysctlOverride memory("hw.memsize", std::nullopt), physical("hw.physicalcpu_max", std::int64_t{2}),
            logical("hw.logicalcpu_max", std::int64_t{4}), active("hw.logicalcpu", std::nullopt),
            model("hw.model", std::nullopt), page("hw.pagesize", std::int64_t{16384}),
            boot("kern.boottime", std::nullopt);
        pf::VMStatisticsOverride stats(vm);
        pf::SwapUsageOverride swap(std::nullopt);

        VT_CHILD_CHECK(info().physicalMemory() == 536870912);
        VT_CHILD_CHECK(info().activeCPUCount() == 1);
        VT_CHILD_CHECK(!info().machineModelName());
        VT_CHILD_CHECK(info().secondsSinceLastRestart() == -1);
        // No profiler on this system: the fallback profile.
        VT_CHILD_CHECK(info().machineDescription() == "Macintosh");
        VT_CHILD_CHECK(info().cpuDescription() == " Intel 64-bit, 2 cores, 4 threads");

        const auto stats1 = info().memoryStatistics();
        VT_CHILD_CHECK(stats1 && stats1->size() == 29);
        VT_CHILD_CHECK(stats1->at("pagesz") == pf::Value(16384));
        VT_CHILD_CHECK(stats1->at("free") == pf::Value(3 * 16384));
        VT_CHILD_CHECK(stats1->at("purgeable") == pf::Value(7));
        for (const char* key : {"vm-total", "vm-used", "vm-pagesz", "vm-encrypt"})
            VT_CHILD_CHECK(stats1->at(key) == pf::Value(0));
        pf::VMStatisticsOverride unreadable(std::nullopt);
        VT_CHILD_CHECK(!info().memoryStatistics());
        const std::int64_t boot2 = std::llround(pf::Date::now().secondsSince1970) - 7320;
        pf::SysctlOverride booted("kern.boottime", boot2);
        VT_CHILD_CHECK(info().lastRestartDescription() == "2 hours, 2 minutes since last restart");
        pf::SysctlOverride named("hw.model", std::string("Test Model"));
        VT_CHILD_CHECK(info().machineModelName() == "Test Model");
    }
    // The kept facts stay as first read; the model too, once it was read.
    pf::SysctlOverride model("hw.model", std::nullopt), physical("hw.physicalcpu_max", std::int64_t{8});
    VT_CHILD_CHECK(info().physicalMemory() == 536870912);
    VT_CHILD_CHECK(info().physicalCPUCount() == 2 && info().availableCPUCount() == 4);
    VT_CHILD_CHECK(info().machineModelName() == "Test Model");
    return 0;
}

TEST(SystemInformation, InjectedReadingsAndCaches) {
    const int status = vt::runInChild(injectedReadings);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
