#include "sysinfo/NumberByteValue.h"

#include <cmath>
#include <compare>
#include <limits>

#include "sysinfo/VDByteValue.h"

namespace {

struct Stepped {
    double value;
    std::size_t steps;
};

// Multiplies rather than divides, as the platform's operations do; the last
// digits of a scaled value may therefore differ from a division's.
Stepped stepDown(const pf::Value& number, double limit, double factor) {
    Stepped s{static_cast<double>(byteValue(number)), 0};
    while (s.value > limit) {
        s.value *= factor;
        ++s.steps;
    }
    return s;
}

Stepped decimalSteps(const pf::Value& number) { return stepDown(number, 1000, 0.001); }
Stepped binarySteps(const pf::Value& number) { return stepDown(number, 1024, 0.0009765625); }

// Numbers compare by value across their kinds: two integers exactly (an
// unsigned one above the signed range included), anything else as doubles.
std::partial_ordering compareNumbers(const pf::Value& a, const pf::Value& b) {
    if (a.isInteger() && b.isInteger()) {
        if (a.isUnsignedInteger() != b.isUnsignedInteger())
            return a.isUnsignedInteger() ? std::partial_ordering::greater : std::partial_ordering::less;
        return a.isUnsignedInteger() ? a.unsignedInteger() <=> b.unsignedInteger() : a.integer() <=> b.integer();
    }
    return a.doubleValue() <=> b.doubleValue();
}

} // namespace

pf::Value byteValueWithBytes(std::uint64_t bytes) { return pf::Value(static_cast<unsigned long long>(bytes)); }

std::string humanReadableStringFromByteCount(std::uint64_t bytes) { return humanReadableStringFromByteCount(bytes, 2); }

std::string humanReadableStringFromByteCount(std::uint64_t bytes, std::uint64_t maxFractionDigits) {
    VDByteValue::shared().setMaxFractionDigits(maxFractionDigits);
    return VDByteValue::shared().humanReadableStringFromByteCount(bytes);
}

std::string alternateHumanReadableStringFromByteCount(std::uint64_t bytes) {
    VDByteValue::shared().setMaxFractionDigits(2);
    return VDByteValue::shared().alternateHumanReadableStringFromByteCount(bytes);
}

std::string binaryHumanReadableStringFromByteCount(std::uint64_t bytes) {
    VDByteValue::shared().setMaxFractionDigits(2);
    return VDByteValue::shared().binaryHumanReadableStringFromByteCount(bytes);
}

std::string SIHumanReadableStringFromByteCount(std::uint64_t bytes) {
    VDByteValue::shared().setMaxFractionDigits(2);
    return VDByteValue::shared().SIHumanReadableStringFromByteCount(bytes);
}

std::uint64_t byteValue(const pf::Value& number) {
    if (number.isInteger()) return number.unsignedInteger();
    // unsignedLongLongValue of a real: negative and NaN give 0, too large the maximum.
    const double d = number.doubleValue();
    if (!(d > 0)) return 0;
    if (d >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(d);
}

double humanValue(const pf::Value& number) { return decimalSteps(number).value; }

double alternateHumanValue(const pf::Value& number) { return binarySteps(number).value; }

double humanValueScale(const pf::Value& number) { return static_cast<double>(decimalSteps(number).steps); }

double humanValueUsingScale(const pf::Value& number, double scale) {
    if (scale >= 1.0) return static_cast<double>(byteValue(number)) / std::pow(1000.0, scale);
    return humanValue(number);
}

std::string humanReadableLabel(const pf::Value& number) {
    return VDByteValue::decimalMonikers()[decimalSteps(number).steps];
}

std::string alternateHumanReadableLabel(const pf::Value& number) {
    return VDByteValue::binaryMonikers()[binarySteps(number).steps];
}

pf::Value maxByteValue(const pf::Value& number, const pf::Value& other) {
    return compareNumbers(number, other) == std::partial_ordering::less ? other : number;
}

pf::Value minByteValue(const pf::Value& number, const pf::Value& other) {
    return compareNumbers(number, other) == std::partial_ordering::greater ? other : number;
}

std::string humanReadableStringValue(const pf::Value& number) {
    return humanReadableStringFromByteCount(byteValue(number));
}

std::string alternateHumanReadableStringValue(const pf::Value& number) {
    return alternateHumanReadableStringFromByteCount(byteValue(number));
}
