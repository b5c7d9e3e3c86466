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
        {4, 2, "2.4 GHz Quad-Core Intel Core i5, 4 cores"},
        {1, 8, "2.4 GHz Quad-Core Intel Core i5"},
        {0, 0, "2.4 GHz Quad-Core Intel Core i5"},
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
        {9 * 86400 + 23 * 3600 + 59 * 60, "9 days, 23:59 since last restart"},
        {7320, "2 hours, 2 minutes since last restart"},
        {3 * 3600 + 60, "3 hours since last restart"},
        {3720, "1 hour, 2 minutes since last restart"},
        {3659, "1 hour since last restart"},
        {125, "2 minutes since last restart"},
        {119, "1 minute since last restart"},
        {1, "1 minute since last restart"},
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

// The readings Linux gives for the virtual-memory statistics hang together.
TEST(SystemInformation, LinuxMemoryReadings) {
    const auto [vm, swap] = pf::hostMemoryReadings();
    ASSERT_TRUE(vm);
    const auto memsize = pf::sysctlInteger("hw.memsize"), page = pf::sysctlInteger("hw.pagesize");
    ASSERT_TRUE(memsize && page);
    const std::uint64_t pages = static_cast<std::uint64_t>(*memsize / *page);
    EXPECT_GT(vm->free_count, 0u);
    EXPECT_LE(vm->free_count + vm->active_count + vm->inactive_count, pages);
    EXPECT_GT(vm->faults, 0u);
    EXPECT_GT(vm->internal_page_count + vm->external_page_count, 0u);
    ASSERT_TRUE(swap); // every kernel prints the swap lines, swap or not
    EXPECT_LE(swap->xsu_used, swap->xsu_total);
    EXPECT_EQ(swap->xsu_pagesize, static_cast<std::uint32_t>(*page));
}

// The kernel readings behind the kept facts, as Linux answers them.
TEST(SystemInformation, LinuxReadings) {
    const auto integer = [](const char* name) { return pf::sysctlInteger(name).value_or(0); };
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

#define CHILD_CHECK(condition)                                                        \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "line %d: check failed: %s\n", __LINE__, #condition); \
            return 1;                                                                 \
        }                                                                             \
    } while (0)

// The caches are process-wide and filled once, so the injected readings are
// seen by a fresh child.
int injectedReadings() {
    auto& info = VDSystemInformation::systemInformation;
    pf::VMStatistics vm;
    vm.free_count = 3;
    vm.purgeable_count = 7;
    vm.faults = 11;
    {
        pf::SysctlOverride memory("hw.memsize", std::nullopt), physical("hw.physicalcpu_max", std::int64_t{2}),
            logical("hw.logicalcpu_max", std::int64_t{4}), active("hw.logicalcpu", std::nullopt),
            model("hw.model", std::nullopt), page("hw.pagesize", std::int64_t{16384}),
            boot("kern.boottime", std::nullopt);
        pf::VMStatisticsOverride stats(vm);
        pf::SwapUsageOverride swap(std::nullopt);

        CHILD_CHECK(info().physicalMemory() == 536870912);
        CHILD_CHECK(info().activeCPUCount() == 1);
        CHILD_CHECK(!info().machineModelName());
        CHILD_CHECK(info().secondsSinceLastRestart() == -1);
        CHILD_CHECK(info().lastRestartDescription() == "Unknown");
        // No profiler on this system: the fallback profile.
        CHILD_CHECK(info().machineDescription() == "Macintosh");
        CHILD_CHECK(info().cpuDescription() == " Intel 64-bit, 2 cores, 4 threads");

        const auto stats1 = info().memoryStatistics();
        CHILD_CHECK(stats1 && stats1->size() == 29);
        CHILD_CHECK(stats1->at("pagesz") == pf::Value(16384));
        CHILD_CHECK(stats1->at("free") == pf::Value(3 * 16384));
        CHILD_CHECK(stats1->at("purgeable") == pf::Value(7));
        CHILD_CHECK(stats1->at("faults") == pf::Value(11));
        for (const char* key : {"vm-total", "vm-used", "vm-pagesz", "vm-encrypt"})
            CHILD_CHECK(stats1->at(key) == pf::Value(0));
        {
            pf::VMStatisticsOverride unreadable(std::nullopt);
            CHILD_CHECK(!info().memoryStatistics());
        }
        const pf::Value boot2(static_cast<long long>(std::llround(pf::Date::now().secondsSince1970)) - 7320);
        pf::SysctlOverride booted("kern.boottime", boot2.integer());
        const std::int64_t up = info().secondsSinceLastRestart();
        CHILD_CHECK(up >= 7320 && up < 7320 + 60);
        CHILD_CHECK(info().lastRestartDescription() == "2 hours, 2 minutes since last restart");
        pf::SysctlOverride named("hw.model", std::string("Test Model"));
        CHILD_CHECK(info().machineModelName() == "Test Model");
    }
    // The kept facts stay as first read; the model too, once it was read.
    pf::SysctlOverride model("hw.model", std::nullopt), physical("hw.physicalcpu_max", std::int64_t{8});
    CHILD_CHECK(info().physicalMemory() == 536870912);
    CHILD_CHECK(info().physicalCPUCount() == 2 && info().availableCPUCount() == 4);
    CHILD_CHECK(info().machineModelName() == "Test Model");
    CHILD_CHECK(info().activeCPUCount() >= 1);
    VDApplication app;
    CHILD_CHECK(app.physicalMemory() == 536870912 && app.physicalCPUCount() == 2 && app.availableCPUCount() == 4);
    CHILD_CHECK(app.sixtyFourBitSystem() && app.machineModelName() == "Test Model");
    return 0;
}

TEST(SystemInformation, InjectedReadingsAndCaches) {
    const int status = vt::runInChild(injectedReadings);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
