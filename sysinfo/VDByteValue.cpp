#include "sysinfo/VDByteValue.h"

#include "platform/foundation/Format.h"
#include "sysinfo/LocalizedPhrase.h"

namespace {

// Made on first use rather than before main: the label needs the main bundle,
// which the embedding target registers in a static initializer of its own.
const std::string& bytesLabel() {
    static const std::string label = VDLocalizedPhrase("bytes");
    return label;
}

constexpr const char* kNoBreakSpace = "\u00A0";

} // namespace

const VDByteValue::Monikers& VDByteValue::binaryMonikers() {
    static const Monikers table = {bytesLabel(), "KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB", "BiB"};
    return table;
}

const VDByteValue::Monikers& VDByteValue::decimalMonikers() {
    static const Monikers table = {bytesLabel(), "KB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB", "BB"};
    return table;
}

VDByteValue& VDByteValue::shared() {
    static VDByteValue instance;
    return instance;
}

VDByteValue::VDByteValue() : byteCountFormatter_(pf::NumberFormatter::Style::Decimal) { setMaxFractionDigits(2); }

void VDByteValue::setMaxFractionDigits(std::uint64_t digits) { byteCountFormatter_.setMaximumFractionDigits(digits); }

std::string VDByteValue::humanReadableByteStringWithBytes(std::uint64_t bytes, double kilo,
                                                          const Monikers& monikers) const {
    double value = static_cast<double>(bytes);
    std::size_t step = 0;
    // A 64-bit count needs six steps at most; the bound also keeps a divisor
    // of 1 or less from looping.
    while (value > kilo && step + 1 < monikers.size()) {
        value /= kilo;
        ++step;
    }
    const std::string label = bytes == 1 ? VDLocalizedPhrase("byte") : monikers[step];
    return pf::format("%@%@%@", byteCountFormatter_.stringFromDouble(value), kNoBreakSpace, label);
}

std::string VDByteValue::humanReadableStringBase2WithBytes(std::uint64_t bytes) const {
    return humanReadableByteStringWithBytes(bytes, 1024, binaryMonikers());
}

std::string VDByteValue::humanReadableStringBase10WithBytes(std::uint64_t bytes) const {
    return humanReadableByteStringWithBytes(bytes, 1000, decimalMonikers());
}

std::string VDByteValue::humanReadableStringFromByteCount(std::uint64_t bytes) const {
    return humanReadableStringBase10WithBytes(bytes);
}

std::string VDByteValue::alternateHumanReadableStringFromByteCount(std::uint64_t bytes) const {
    return humanReadableStringBase2WithBytes(bytes);
}

std::string VDByteValue::binaryHumanReadableStringFromByteCount(std::uint64_t bytes) const {
    return humanReadableStringBase2WithBytes(bytes);
}

std::string VDByteValue::SIHumanReadableStringFromByteCount(std::uint64_t bytes) const {
    return humanReadableStringBase10WithBytes(bytes);
}

std::string VDByteValue::SIBinaryHumanReadableStringFromByteCount(std::uint64_t bytes) const {
    return humanReadableByteStringWithBytes(bytes, 1024, decimalMonikers());
}
