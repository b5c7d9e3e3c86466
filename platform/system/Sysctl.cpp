#include "platform/system/Sysctl.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace pf {
namespace {

using Reader = std::function<std::optional<SysctlValue>()>;

std::optional<SysctlValue> fromSysconf(int name) {
    const long value = ::sysconf(name);
    if (value <= 0) return std::nullopt;
    return SysctlValue(std::int64_t{value});
}

template <class Field>
std::optional<SysctlValue> fromUname(Field field) {
    utsname u{};
    if (::uname(&u) != 0) return std::nullopt;
    return SysctlValue(std::string(u.*field));
}

// The first line of a text file, without its newline; nothing when unreadable or empty.
std::optional<SysctlValue> firstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line.empty()) return std::nullopt;
    return SysctlValue(line);
}

// The value after "key:" (or "key ") of the first matching line of a /proc file.
std::optional<std::string> procField(const char* path, const std::string& key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) != 0) continue;
        std::size_t at = line.find_first_not_of(" \t:", key.size());
        if (at == std::string::npos) return std::nullopt;
        return line.substr(at);
    }
    return std::nullopt;
}

// Physical cores: distinct (package, core) pairs of /proc/cpuinfo.
std::optional<SysctlValue> physicalCores() {
    std::ifstream in("/proc/cpuinfo");
    std::set<std::pair<std::string, std::string>> cores;
    std::string package, core;
    for (std::string line; std::getline(in, line);) {
        auto value = [&] { auto at = line.find(':'); return at == std::string::npos ? "" : line.substr(at + 1); };
        if (line.rfind("physical id", 0) == 0) package = value();
        else if (line.rfind("core id", 0) == 0) core = value();
        else if (line.empty() && !core.empty()) cores.emplace(package, std::exchange(core, ""));
    }
    if (!core.empty()) cores.emplace(package, core);
    if (cores.empty()) return fromSysconf(_SC_NPROCESSORS_CONF);
    return SysctlValue(static_cast<std::int64_t>(cores.size()));
}

// The processor's clock in Hz: cpufreq's maximum (kHz), else the first
// processor's "cpu MHz" of /proc/cpuinfo (virtual machines have no cpufreq).
std::optional<SysctlValue> cpuFrequency() {
    try {
        if (auto khz = firstLine("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"))
            return SysctlValue(std::int64_t{std::stoll(std::get<std::string>(*khz))} * 1000);
        if (auto mhz = procField("/proc/cpuinfo", "cpu MHz"))
            return SysctlValue(static_cast<std::int64_t>(std::stod(*mhz) * 1e6));
    } catch (const std::exception&) {
        // a malformed line is as good as none
    }
    return std::nullopt;
}

const std::map<std::string, Reader>& readers() {
    static const std::map<std::string, Reader> table = {
        {"hw.ncpu", [] { return fromSysconf(_SC_NPROCESSORS_ONLN); }},
        {"hw.logicalcpu", [] { return fromSysconf(_SC_NPROCESSORS_ONLN); }},
        {"hw.logicalcpu_max", [] { return fromSysconf(_SC_NPROCESSORS_CONF); }},
        {"hw.physicalcpu_max", physicalCores},
        {"hw.pagesize", [] { return fromSysconf(_SC_PAGESIZE); }},
        {"hw.memsize",
         []() -> std::optional<SysctlValue> {
             const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
             if (pages <= 0 || size <= 0) return std::nullopt;
             return SysctlValue(std::int64_t{pages} * size);
         }},
        {"hw.cpufrequency", cpuFrequency},
        {"hw.model", [] { return firstLine("/sys/devices/virtual/dmi/id/product_name"); }},
        {"machdep.cpu.brand_string",
         []() -> std::optional<SysctlValue> {
             if (auto name = procField("/proc/cpuinfo", "model name")) return SysctlValue(*name);
             return std::nullopt;
         }},
        // Seconds since 1970 at boot (the microseconds of the platform's time value are not kept).
        {"kern.boottime",
         []() -> std::optional<SysctlValue> {
             auto btime = procField("/proc/stat", "btime");
             if (!btime) return std::nullopt;
             try {
                 return SysctlValue(std::int64_t{std::stoll(*btime)});
             } catch (const std::exception&) {
                 return std::nullopt;  // a malformed line is as good as none
             }
         }},
        {"kern.ostype", [] { return fromUname(&utsname::sysname); }},
        {"kern.osrelease", [] { return fromUname(&utsname::release); }},
        {"kern.version", [] { return fromUname(&utsname::version); }},
        {"kern.hostname", [] { return fromUname(&utsname::nodename); }},
    };
    return table;
}

struct Overrides {
    std::mutex mutex;
    std::map<std::string, std::optional<SysctlValue>> values;
};

Overrides& overrides() {
    static Overrides o;
    return o;
}

} // namespace

std::optional<SysctlValue> sysctlReading(const std::string& name) {
    {
        auto& o = overrides();
        std::lock_guard lock(o.mutex);
        if (auto found = o.values.find(name); found != o.values.end()) return found->second;
    }
    auto reader = readers().find(name);
    if (reader == readers().end()) return std::nullopt;
    return reader->second();
}

std::optional<std::int64_t> sysctlInteger(const std::string& name) {
    auto value = sysctlReading(name);
    if (!value || !std::holds_alternative<std::int64_t>(*value)) return std::nullopt;
    return std::get<std::int64_t>(*value);
}

std::optional<std::string> sysctlString(const std::string& name) {
    auto value = sysctlReading(name);
    if (!value || !std::holds_alternative<std::string>(*value)) return std::nullopt;
    return std::get<std::string>(*value);
}

SysctlOverride::SysctlOverride(std::string name, std::optional<SysctlValue> value) : name_(std::move(name)) {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    if (auto found = o.values.find(name_); found != o.values.end()) saved_ = found->second;
    o.values[name_] = std::move(value);
}

SysctlOverride::~SysctlOverride() {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    if (saved_) o.values[name_] = *saved_;
    else o.values.erase(name_);
}

} // namespace pf
