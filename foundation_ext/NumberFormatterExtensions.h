#pragma once
// The formatter's text for a value of each C type, as if the value had been
// wrapped in a number of that type first.
#include <string>

#include "platform/system/NumberFormatter.h"

std::string stringFromUnsignedInt(const pf::NumberFormatter& formatter, unsigned int value);
std::string stringFromInt(const pf::NumberFormatter& formatter, int value);
std::string stringFromUnsignedInteger(const pf::NumberFormatter& formatter, unsigned long value);
std::string stringFromInteger(const pf::NumberFormatter& formatter, long value);
std::string stringFromUnsignedLongLong(const pf::NumberFormatter& formatter, unsigned long long value);
// A float is widened to double as the number holding it would be.
std::string stringFromFloat(const pf::NumberFormatter& formatter, float value);
std::string stringFromDouble(const pf::NumberFormatter& formatter, double value);
