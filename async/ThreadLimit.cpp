#include "async/ThreadLimit.h"

#include <algorithm>
#include <thread>

#include "platform/system/Sysctl.h"

namespace VD::async {
namespace {

constexpr std::uint32_t kFallbackLimit = 128;

// A 4-byte reading: a value that does not fit the buffer is not read, as
// sysctlbyname fails for a buffer too small.
std::optional<std::uint32_t> read_uint32(const char* name) {
    auto value = pf::sysctlInteger(name);
    if (!value || *value < 0 || *value > std::int64_t{UINT32_MAX}) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

} // namespace

std::uint32_t hardware_threads() {
    static const std::uint32_t value = std::thread::hardware_concurrency();
    return value;
}

std::uint32_t pool_cap() { return std::max(hardware_threads(), 2u); }

std::uint32_t thread_limit_from(std::optional<std::uint32_t> wq_max_threads,
                                std::optional<std::uint32_t> num_taskthreads,
                                std::optional<rlim_t> nproc_hard_limit) {
    std::uint32_t limit = 0;
    if (wq_max_threads) limit = *wq_max_threads;
    else if (num_taskthreads) limit = *num_taskthreads >> 1;
    else if (nproc_hard_limit) limit = static_cast<std::uint32_t>(*nproc_hard_limit >> 1);
    return limit == 0 ? kFallbackLimit : limit;
}

std::uint32_t compute_thread_limit() {
    std::optional<rlim_t> nproc;
    if (rlimit r{}; ::getrlimit(RLIMIT_NPROC, &r) == 0) nproc = r.rlim_max;
    return thread_limit_from(read_uint32("kern.wq_max_threads"), read_uint32("kern.num_taskthreads"), nproc);
}

} // namespace VD::async
