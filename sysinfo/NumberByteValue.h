#pragma once
// Numbers that hold byte counts: scaled values, unit labels, minimum and
// maximum, and the byte strings of the shared VDByteValue. The number comes
// first, as with the other extensions of platform classes.
//
// The class operations set the shared formatter's fraction digits before
// they format, so they are for one thread at a time; another thread that
// needs its own digit count uses a VDByteValue of its own.
#include <cstdint>
#include <string>

#include "platform/foundation/Value.h"

// Class operations.
pf::Value byteValueWithBytes(std::uint64_t bytes);
std::string humanReadableStringFromByteCount(std::uint64_t bytes);
std::string humanReadableStringFromByteCount(std::uint64_t bytes, std::uint64_t maxFractionDigits);
std::string alternateHumanReadableStringFromByteCount(std::uint64_t bytes);
std::string binaryHumanReadableStringFromByteCount(std::uint64_t bytes);
std::string SIHumanReadableStringFromByteCount(std::uint64_t bytes);

// Operations of a number; one that is no number raises as the platform does.
std::uint64_t byteValue(const pf::Value& number);
// Stepped by 0.001 while above 1000 (0.0009765625 while above 1024).
double humanValue(const pf::Value& number);
double alternateHumanValue(const pf::Value& number);
// How many steps humanValue takes.
double humanValueScale(const pf::Value& number);
// count / 1000^scale for a scale of 1 or more, else humanValue.
double humanValueUsingScale(const pf::Value& number, double scale);
// The unit of humanValue (alternateHumanValue); there is no singular "byte" here.
std::string humanReadableLabel(const pf::Value& number);
std::string alternateHumanReadableLabel(const pf::Value& number);
// Ties give the receiver.
pf::Value maxByteValue(const pf::Value& number, const pf::Value& other);
pf::Value minByteValue(const pf::Value& number, const pf::Value& other);
std::string humanReadableStringValue(const pf::Value& number);
std::string alternateHumanReadableStringValue(const pf::Value& number);
