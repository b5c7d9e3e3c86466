#include "foundation_ext/NumberFormatterExtensions.h"

std::string stringFromUnsignedInt(const pf::NumberFormatter& formatter, unsigned int value) {
    return formatter.stringFromUInt64(value);
}

std::string stringFromInt(const pf::NumberFormatter& formatter, int value) { return formatter.stringFromInt64(value); }

std::string stringFromUnsignedInteger(const pf::NumberFormatter& formatter, unsigned long value) {
    return formatter.stringFromUInt64(value);
}

std::string stringFromInteger(const pf::NumberFormatter& formatter, long value) {
    return formatter.stringFromInt64(value);
}

std::string stringFromUnsignedLongLong(const pf::NumberFormatter& formatter, unsigned long long value) {
    return formatter.stringFromUInt64(value);
}

std::string stringFromFloat(const pf::NumberFormatter& formatter, float value) {
    return formatter.stringFromDouble(static_cast<double>(value));
}

std::string stringFromDouble(const pf::NumberFormatter& formatter, double value) {
    return formatter.stringFromDouble(value);
}
