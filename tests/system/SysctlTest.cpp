// The sysctl-like readings: Linux answers, names it lacks, and overrides
// that nest and give the earlier reading back.
#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/system/Sysctl.h"

namespace {

TEST(Sysctl, ReadingsAndOverrides) {
    EXPECT_EQ(pf::sysctlInteger("hw.ncpu"), ::sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_TRUE(pf::sysctlString("kern.ostype") == std::string("Linux"));
    EXPECT_FALSE(pf::sysctlInteger("kern.ostype"));  // a string is not an integer
    EXPECT_FALSE(pf::sysctlReading("kern.wq_max_threads"));
    {
        pf::SysctlOverride outer("kern.wq_max_threads", pf::SysctlValue(std::int64_t{3}));
        {
            pf::SysctlOverride inner("kern.wq_max_threads", std::nullopt);
            pf::SysctlOverride cpu("hw.ncpu", pf::SysctlValue(std::string("many")));
            EXPECT_FALSE(pf::sysctlReading("kern.wq_max_threads"));
            EXPECT_EQ(pf::sysctlString("hw.ncpu"), "many");
        }
        EXPECT_EQ(pf::sysctlInteger("kern.wq_max_threads"), 3);
    }
    EXPECT_FALSE(pf::sysctlReading("kern.wq_max_threads"));
    EXPECT_EQ(pf::sysctlInteger("hw.ncpu"), ::sysconf(_SC_NPROCESSORS_ONLN));
}

} // namespace
