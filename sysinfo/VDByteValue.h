#pragma once
// Byte counts as short readable strings ("1.5 KiB", "4 GB"): the count is
// divided by 1024 or 1000 while it is greater than that step, printed with at
// most the set number of fraction digits in the current locale's decimal
// style, and followed by a no-break space and a unit label.
#include <array>
#include <cstdint>
#include <string>

#include "platform/system/NumberFormatter.h"

class VDByteValue {
public:
    using Monikers = std::array<std::string, 10>;
    // "bytes", "KiB" ... "BiB" and "bytes", "KB" ... "BB"; made on first use,
    // then never changed.
    static const Monikers& binaryMonikers();
    static const Monikers& decimalMonikers();
    // The instance the number operations share (see NumberByteValue.h).
    static VDByteValue& shared();

    // Two fraction digits at most.
    VDByteValue();

    void setMaxFractionDigits(std::uint64_t digits);

    std::string humanReadableByteStringWithBytes(std::uint64_t bytes, double kilo, const Monikers& monikers) const;
    std::string humanReadableStringBase2WithBytes(std::uint64_t bytes) const;
    std::string humanReadableStringBase10WithBytes(std::uint64_t bytes) const;
    std::string humanReadableStringFromByteCount(std::uint64_t bytes) const;
    std::string alternateHumanReadableStringFromByteCount(std::uint64_t bytes) const;
    std::string binaryHumanReadableStringFromByteCount(std::uint64_t bytes) const;
    std::string SIHumanReadableStringFromByteCount(std::uint64_t bytes) const;
    // 1024 steps with the decimal labels ("KB").
    std::string SIBinaryHumanReadableStringFromByteCount(std::uint64_t bytes) const;

private:
    pf::NumberFormatter byteCountFormatter_;
};
