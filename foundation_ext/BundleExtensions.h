#pragma once
// Bundle information: the name people see, the build's identity, versions as
// strings and packed into comparable integers, and the helper and login-item
// locations inside the bundle.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Bundle.h"

// "SUBundleName", else the localized then the plain CFBundleName, else the
// bundle folder's name without its extension.
std::string humanReadableName(const pf::Bundle& bundle);
// The info values as stored (any kind); nullptr when absent.
const pf::Value* vandrelBuildIdentifier(const pf::Bundle& bundle);
const pf::Value* vandrelBuildTimestamp(const pf::Bundle& bundle);

// nullopt when the value is absent or no string.
std::optional<std::string> versionString(const pf::Bundle& bundle);
std::optional<std::string> marketingVersionString(const pf::Bundle& bundle);
std::uint64_t version(const pf::Bundle& bundle);
std::uint32_t marketingVersion(const pf::Bundle& bundle);
std::uint32_t minimumSystemVersion(const pf::Bundle& bundle);

// Version text packed into integers that compare as the versions do. The
// text is split into numbers first: runs of a, b and d become "." (1.0b3 reads
// as 1.0.3), other characters but digits and "." go, pieces are numbers.
// 32-bit: c0.c1.c2.c3 a byte each (low 8 bits); without a fourth component
// the low byte is 255 unless the rest is 0. 64-bit: c0 in bits 24-43, c1 and
// c2 a byte each, a fourth component ignored, low byte 255 unless all is 0.
// Absent or empty text packs to 0.
std::uint32_t vd_packedVersion32(const std::optional<std::string>& text);
std::uint64_t vd_packedVersion64(const std::optional<std::string>& text);

std::string vandrelHelpersPath(const pf::Bundle& bundle);
std::string pathForHelper(const pf::Bundle& bundle, std::string_view name);
pf::URL URLForLoginItem(const pf::Bundle& bundle, std::string_view name);
