#include "foundation_ext/ParallelWalk.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {
constexpr unsigned kMaxThreads = 8;
}

void forEachIndexInParallel(std::size_t count, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next{0};
    const auto drain = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i);
    };
    const unsigned processors = std::max(1u, std::min(std::thread::hardware_concurrency(), kMaxThreads));
    const std::size_t helpers = std::min<std::size_t>(processors, count) - (count > 0 ? 1 : 0);
    std::vector<std::thread> threads;
    threads.reserve(helpers);
    for (std::size_t t = 0; t < helpers; ++t) threads.emplace_back(drain);
    drain();
    for (auto& thread : threads) thread.join();
}
