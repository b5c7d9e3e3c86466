#pragma once
// Named readings of kernel and hardware facts, as sysctlbyname gives them
// ("hw.ncpu", "kern.osrelease"), answered from sysconf, uname, /proc and /sys.
// A name without a Linux counterpart (e.g. "kern.wq_max_threads") is not
// readable. Tests replace a reading, or make it unreadable, with
// SysctlOverride; overrides apply process-wide while the object lives.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace pf {

using SysctlValue = std::variant<std::int64_t, std::string>;

// The reading of the name, or nothing when it cannot be read.
std::optional<SysctlValue> sysctlReading(const std::string& name);
// The reading as an integer (nothing when absent or a string).
std::optional<std::int64_t> sysctlInteger(const std::string& name);
// The reading as a string (nothing when absent or an integer).
std::optional<std::string> sysctlString(const std::string& name);

class SysctlOverride {
public:
    // value == nullopt makes the name unreadable.
    SysctlOverride(std::string name, std::optional<SysctlValue> value);
    ~SysctlOverride();
    SysctlOverride(const SysctlOverride&) = delete;
    SysctlOverride& operator=(const SysctlOverride&) = delete;

private:
    std::string name_;
    std::optional<std::optional<SysctlValue>> saved_;
};

} // namespace pf
