// The dispatch layer's hand-off cost: one task sent to a serial or a global
// queue and waited for, and a burst of small tasks on a global queue, each
// beside the same work done with plain threads, a mutex and a condition
// variable.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/support/PlainPool.h"
#include "platform/dispatch/Queue.h"

namespace {

using pf::dispatch::Queue;
using vb::PlainPool;

// A signal the waiting thread resets before each hand-off.
class Event {
public:
    void reset() {
        std::lock_guard lock(mutex_);
        set_ = false;
    }
    void signal() {
        std::lock_guard lock(mutex_);
        set_ = true;
        cv_.notify_one();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

unsigned poolSize() { return std::max(1u, std::thread::hardware_concurrency()); }

void roundTrips(benchmark::State& state, const std::shared_ptr<Queue>& queue) {
    Event done;
    for (auto _ : state) {
        done.reset();
        queue->async([&done] { done.signal(); });
        done.wait();
    }
}

void roundTripsPlain(benchmark::State& state) {
    PlainPool worker(1);
    Event done;
    for (auto _ : state) {
        done.reset();
        worker.push([&done] { done.signal(); });
        done.wait();
    }
}

void BM_SerialRoundTrip(benchmark::State& state) { roundTrips(state, Queue::serial("bench.dispatch.serial")); }
void BM_GlobalRoundTrip(benchmark::State& state) { roundTrips(state, Queue::global()); }
void BM_PlainRoundTrip(benchmark::State& state) { roundTripsPlain(state); }

constexpr int kBurst = 10000;

template <class Submit>
void burst(benchmark::State& state, Submit&& submit) {
    Event done;
    std::atomic<int> left{0};
    auto task = [&] {
        if (left.fetch_sub(1, std::memory_order_acq_rel) == 1) done.signal();
    };
    for (auto _ : state) {
        done.reset();
        left.store(kBurst, std::memory_order_release);
        for (int i = 0; i < kBurst; ++i) submit(task);
        done.wait();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBurst);
}

void BM_GlobalBurst(benchmark::State& state) {
    auto queue = Queue::global();
    burst(state, [&](const std::function<void()>& task) { queue->async(task); });
}

void BM_PlainBurst(benchmark::State& state) {
    PlainPool pool(poolSize());
    burst(state, [&](const std::function<void()>& task) { pool.push(task); });
}

BENCHMARK(BM_SerialRoundTrip)->Name("dispatch_async_roundtrip_serial")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainRoundTrip)->Name("dispatch_async_roundtrip_serial/baseline")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GlobalRoundTrip)->Name("dispatch_async_roundtrip_global")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainRoundTrip)->Name("dispatch_async_roundtrip_global/baseline")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GlobalBurst)->Name("dispatch_async_burst_10000")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainBurst)->Name("dispatch_async_burst_10000/baseline")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
