#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "app/VDApplication.h"
#include "platform/foundation/Date.h"
#include "platform/system/Sysctl.h"
#include "platform/system/VMStatistics.h"
#include "sysinfo/HardwareProfile.h"
#include "sysinfo/SystemDescriptions.h"
#include "sysinfo/VDSystemInformation.h"
#include "tests/support/ChildCheck.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(SystemInformation, ProcessorDescription) {
    const pf::Value speed("2.4 GHz"), type("Quad-Core Intel Core i5"), none;
    struct Case {
        std::uint32_t physical, logical;
        std::string expected;
    } cases[] = {
        {2, 4, "2.4 GHz Quad-Core Intel Core i5, 2 cores, 4 threads"},
        {4, 4, "2.4 GHz Quad-Core Intel Core i5, 4 cores"},
        {1, 8, "2.4 GHz Quad-Core Intel Core i5"},
    };
    for (const auto& c : cases) EXPECT_EQ(VDProcessorDescription(speed, type, c.physical, c.logical), c.expected);
    EXPECT_EQ(VDProcessorDescription(none, none, 1, 1), "(null) (null)");
}

TEST(SystemInformation, UptimeDescription) {
    struct Case {
        std::int64_t seconds;
        std::string expected;
    } cases[] = {
        {86400 + 3600 + 60 + 1, "1 day, 1:01 since last restart"},
        {2 * 86400, "2 days, 0:00 since last restart"},
        {7320, "2 hours, 2 minutes since last restart"},
        {3 * 3600 + 60, "3 hours since last restart"},
        {3720, "1 hour, 2 minutes since last restart"},
        {3659, "1 hour since last restart"},
        {125, "2 minutes since last restart"},
        {119, "1 minute since last restart"},
        {0, "Unknown"},
        {-1, "Unknown"},
    };
    for (const auto& c : cases) EXPECT_EQ(VDUptimeDescription(c.seconds), c.expected) << c.seconds;
}

pf::Data bytes(const std::string& text) { return pf::Data(text.begin(), text.end()); }

TEST(SystemInformation, ProfilerOutput) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
    const std::string good = head +
                             "<array><dict><key>_items</key><array><dict><key>machine_name</key><string>MacBook "
                             "Pro</string></dict></array></dict></array></plist>";
    auto profile = VDHardwareProfileFromProfilerOutput(bytes(good));
    ASSERT_TRUE(profile);
    EXPECT_EQ(profile->at("machine_name"), pf::Value("MacBook Pro"));

    vt::LogCapture log;
    struct Case {
        std::string output;
        bool logged;
    } unusable[] = {
        {"", false},
        {"not a property list", false},
        {head + "<dict/></plist>", true},  // no array: the look-up raises
        {head + "<array/></plist>", true}, // element 0 of an empty array
        {head + "<array><dict/></array></plist>", false},
        {head + "<array><dict><key>_items</key><array><string>x</string></array></dict></array></plist>", false},
        {head + "<array><string>x</string></array></plist>", true},
    };
    for (const auto& c : unusable) {
        SCOPED_TRACE(c.output);
        const std::size_t before = log.lines().size();
        EXPECT_FALSE(VDHardwareProfileFromProfilerOutput(bytes(c.output)));
        const auto lines = log.lines();
        EXPECT_EQ(lines.size() > before, c.logged);
        if (c.logged) {
            EXPECT_NE(lines.back().find("Exception @ 277: "), std::string::npos) << lines.back();
        }
    }
    const pf::Dictionary fallback = {
        {"cpu_type", "Intel 64-bit"}, {"current_processor_speed", ""}, {"machine_name", "Macintosh"}};
    EXPECT_EQ(VDFallbackHardwareProfile(), fallback);
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
    EXPECT_EQ(integer("hw.memsize"), std::int64_t{::sysconf(_SC_PHYS_PAGES)} * ::sysconf(_SC_PAGESIZE));
    EXPECT_GE(integer("hw.physicalcpu_max"), 1);
    EXPECT_LE(integer("hw.physicalcpu_max"), integer("hw.logicalcpu_max"));
    EXPECT_GE(integer("hw.logicalcpu"), 1);
    EXPECT_LE(integer("hw.logicalcpu"), integer("hw.logicalcpu_max"));
    const auto now = static_cast<std::int64_t>(pf::Date::now().secondsSince1970);
    EXPECT_GT(integer("kern.boottime"), 0);
    EXPECT_LE(integer("kern.boottime"), now);
    const std::string cpuinfo = vt::readFile("/proc/cpuinfo");
    if (cpuinfo.find("cpu MHz") != std::string::npos) {
        EXPECT_GT(integer("hw.cpufrequency"), 1000000);
    }
    if (::access("/sys/devices/virtual/dmi/id/product_name", R_OK) == 0) {
        std::string product = vt::readFile("/sys/devices/virtual/dmi/id/product_name");
        product = product.substr(0, product.find('\n'));
        EXPECT_EQ(pf::sysctlString("hw.model"), product.empty() ? std::nullopt : std::optional(product));
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
        VT_CHILD_CHECK(info().lastRestartDescription() == "Unknown");
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
        {
            pf::VMStatisticsOverride unreadable(std::nullopt);
            VT_CHILD_CHECK(!info().memoryStatistics());
        }
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
    VDApplication app;
    VT_CHILD_CHECK(app.physicalMemory() == 536870912 && app.physicalCPUCount() == 2 && app.availableCPUCount() == 4);
    VT_CHILD_CHECK(app.sixtyFourBitSystem() && app.machineModelName() == "Test Model");
    return 0;
}

TEST(SystemInformation, InjectedReadingsAndCaches) {
    const int status = vt::runInChild(injectedReadings);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
