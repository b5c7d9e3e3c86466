#include <gtest/gtest.h>

#include <unicode/uloc.h>

#include "sysinfo/NumberByteValue.h"
#include "sysinfo/VDByteValue.h"

namespace {

const std::string nbsp = "\u00A0";

// The POSIX locale's decimal style: "." and no grouping, whatever the machine's locale.
const bool posixLocale = [] {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en_US_POSIX", &status);
    return U_SUCCESS(status);
}();

TEST(ByteValue, Strings) {
    ASSERT_TRUE(posixLocale);
    VDByteValue v;
    struct Case {
        std::uint64_t bytes;
        std::string binary, decimal, siBinary;
    } cases[] = {
        {0, "0" + nbsp + "bytes", "0" + nbsp + "bytes", "0" + nbsp + "bytes"},
        {1, "1" + nbsp + "byte", "1" + nbsp + "byte", "1" + nbsp + "byte"},
        {1000, "1000" + nbsp + "bytes", "1000" + nbsp + "bytes", "1000" + nbsp + "bytes"},
        {1001, "1001" + nbsp + "bytes", "1" + nbsp + "KB", "1001" + nbsp + "bytes"},
        {1536, "1.5" + nbsp + "KiB", "1.54" + nbsp + "KB", "1.5" + nbsp + "KB"},
        {1ull << 40, "1024" + nbsp + "GiB", "1.1" + nbsp + "TB", "1024" + nbsp + "GB"},
        {UINT64_MAX, "16" + nbsp + "EiB", "18.45" + nbsp + "EB", "16" + nbsp + "EB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(v.binaryHumanReadableStringFromByteCount(c.bytes), c.binary);
        EXPECT_EQ(v.alternateHumanReadableStringFromByteCount(c.bytes), c.binary);
        EXPECT_EQ(v.humanReadableStringFromByteCount(c.bytes), c.decimal);
        EXPECT_EQ(v.SIHumanReadableStringFromByteCount(c.bytes), c.decimal);
        EXPECT_EQ(v.SIBinaryHumanReadableStringFromByteCount(c.bytes), c.siBinary);
    }
    // The free functions share one formatter: each sets its fraction digits.
    EXPECT_EQ(humanReadableStringFromByteCount(1536, 0), "2" + nbsp + "KB");
    EXPECT_EQ(humanReadableStringFromByteCount(1536), "1.54" + nbsp + "KB");
    humanReadableStringFromByteCount(1536, 0);
    EXPECT_EQ(binaryHumanReadableStringFromByteCount(1536), "1.5" + nbsp + "KiB");
    EXPECT_EQ(humanReadableStringValue(byteValueWithBytes(2500000)), "2.5" + nbsp + "MB");
    EXPECT_EQ(alternateHumanReadableStringValue(byteValueWithBytes(3u << 20)), "3" + nbsp + "MiB");
}

TEST(ByteValue, NumberValues) {
    struct Case {
        pf::Value number;
        double human, scale, alternate; // 0: not compared
        std::string label, alternateLabel;
    } cases[] = {
        {pf::Value(1000), 1000, 0, 1000, "bytes", "bytes"},
        {pf::Value(1001), 1001 * 0.001, 1, 1001, "KB", "bytes"},
        {pf::Value(2048.0), 2048 * 0.001, 1, 2, "KB", "KiB"},
        {byteValueWithBytes(UINT64_MAX), 0, 6, 0, "EB", "EiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number.description());
        if (c.human != 0) {
            EXPECT_EQ(humanValue(c.number), c.human);
            EXPECT_EQ(alternateHumanValue(c.number), c.alternate);
        }
        EXPECT_EQ(humanValueScale(c.number), c.scale);
        EXPECT_EQ(humanValueUsingScale(c.number, 0.5), humanValue(c.number));
        EXPECT_EQ(humanReadableLabel(c.number), c.label);
        EXPECT_EQ(alternateHumanReadableLabel(c.number), c.alternateLabel);
    }
    EXPECT_DOUBLE_EQ(humanValueUsingScale(pf::Value(3000000), 2), 3.0);
    // Min and max compare across integer kinds and keep the receiver on ties.
    const pf::Value big = byteValueWithBytes(UINT64_MAX), small(5), same(5.0), real(7.5);
    EXPECT_EQ(maxByteValue(small, big), big);
    EXPECT_EQ(minByteValue(big, small), small);
    EXPECT_EQ(maxByteValue(small, real), real);
    EXPECT_TRUE(maxByteValue(small, same).isInteger());
    EXPECT_TRUE(minByteValue(same, small).isReal());
}

} // namespace
