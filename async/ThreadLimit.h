#pragma once
// How many threads VD::async may use: the hardware concurrency that sets the
// pool's floor, and the kernel-derived limit that caps it.
#include <sys/resource.h>

#include <cstdint>
#include <optional>

namespace VD::async {

// The standard library's hardware concurrency, read once per process.
std::uint32_t hardware_threads();
// max(hardware_threads(), 2): tasks handed over per pass, and pool workers kept.
std::uint32_t pool_cap();

// The limit rule over its three sources: "kern.wq_max_threads" as it is, else
// half of "kern.num_taskthreads", else half of the hard RLIMIT_NPROC cut to
// 32 bits (RLIM_INFINITY gives 0xffffffff), else 0; 0 becomes 128.
std::uint32_t thread_limit_from(std::optional<std::uint32_t> wq_max_threads,
                                std::optional<std::uint32_t> num_taskthreads,
                                std::optional<rlim_t> nproc_hard_limit);
// The rule applied to this system's readings (through the platform's sysctl
// readings, which tests can replace).
std::uint32_t compute_thread_limit();

} // namespace VD::async
