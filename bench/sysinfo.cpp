// Memory statistics per second: the whole 29-key dictionary beside reading
// /proc/meminfo and /proc/vmstat once each with plain stdio, the least any
// reader of those counters pays.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "sysinfo/VDSystemInformation.h"

namespace {

void BM_MemoryStatistics(benchmark::State& state) {
    auto& info = VDSystemInformation::systemInformation();
    for (auto _ : state) benchmark::DoNotOptimize(info.memoryStatistics());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetLabel("counter=items_per_second");
}

std::size_t readWhole(const char* path) {
    std::FILE* file = std::fopen(path, "re");
    if (!file) return 0;
    char line[256];
    std::size_t lines = 0;
    while (std::fgets(line, sizeof line, file)) ++lines;
    std::fclose(file);
    return lines;
}

void BM_ReadProcFiles(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(readWhole("/proc/meminfo") + readWhole("/proc/vmstat"));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetLabel("counter=items_per_second");
}

} // namespace

BENCHMARK(BM_MemoryStatistics)->Name("sysinfo_memory_statistics");
BENCHMARK(BM_ReadProcFiles)->Name("sysinfo_memory_statistics/baseline");

BENCHMARK_MAIN();
