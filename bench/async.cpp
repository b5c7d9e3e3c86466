// The task library's throughput and latency: empty tasks through "_normal"
// from one and two submitting threads beside Boost.Asio's thread_pool with
// as many threads as the pool keeps, and the submit-to-run latency of a
// serial queue beside one thread fed by a mutex + condition-variable queue.
#include <benchmark/benchmark.h>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "async/StandardQueues.h"
#include "async/ThreadLimit.h"
#include "bench/support/BenchSupport.h"
#include "bench/support/PlainPool.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTasksPerRun = 20000;

// Runs kTasksPerRun empty tasks per iteration, split over the submitters;
// post(task) hands one task to the executor under test.
template <class Post>
void throughput(benchmark::State& state, int submitters, Post&& post) {
    Clock::duration spent{};
    for (auto _ : state) {
        const auto start = Clock::now();
        std::atomic<int> left{kTasksPerRun};
        std::promise<void> done;
        auto finished = done.get_future();
        auto task = [&] {
            if (left.fetch_sub(1, std::memory_order_acq_rel) == 1) done.set_value();
        };
        std::vector<std::thread> threads;
        for (int s = 0; s < submitters; ++s)
            threads.emplace_back([&] {
                for (int i = 0; i < kTasksPerRun / submitters; ++i) post(task);
            });
        for (auto& t : threads) t.join();
        finished.wait();
        spent += Clock::now() - start;
    }
    // Wall-clock rate: the submitting threads and the workers all count.
    state.counters["tasks_per_second"] =
        static_cast<double>(state.iterations()) * kTasksPerRun / std::chrono::duration<double>(spent).count();
    state.SetLabel("counter=tasks_per_second");
}

template <class Task>
void postToNormal(Task& task) {
    VD::async::normal_queue().submit(VD::async::task(task));
}

void BM_AsyncTasks(benchmark::State& state, int submitters) {
    throughput(state, submitters, [](auto& task) { postToNormal(task); });
}

void BM_AsioTasks(benchmark::State& state, int submitters) {
    boost::asio::thread_pool pool(VD::async::pool_cap());
    throughput(state, submitters, [&](auto& task) { boost::asio::post(pool, task); });
    pool.join();
}

// Microseconds from just before the submission to the task's start, one
// task at a time.
template <class Post>
void latency(benchmark::State& state, const char* counter, Post&& post) {
    std::vector<double> samples;
    for (auto _ : state) {
        std::promise<Clock::time_point> ran;
        auto started = ran.get_future();
        const auto submitted = Clock::now();
        post([&ran] { ran.set_value(Clock::now()); });
        samples.push_back(std::chrono::duration<double, std::micro>(started.get() - submitted).count());
    }
    vb::reportPercentiles(state, samples, "us", counter);
}

void BM_SerialLatency(benchmark::State& state, const char* counter) {
    VD::async::queue serial("bench.async.serial", true, 0);
    latency(state, counter, [&](std::function<void()> body) { serial.submit(VD::async::task(std::move(body))); });
}

void BM_CondvarLatency(benchmark::State& state, const char* counter) {
    vb::PlainPool queue(1);
    latency(state, counter, [&](std::function<void()> body) { queue.push(std::move(body)); });
}

BENCHMARK_CAPTURE(BM_AsyncTasks, one, 1)->Name("async_tasks_1_submitter")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AsioTasks, one, 1)->Name("async_tasks_1_submitter/baseline")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AsyncTasks, two, 2)->Name("async_tasks_2_submitters")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AsioTasks, two, 2)->Name("async_tasks_2_submitters/baseline")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SerialLatency, p50, "p50_us")->Name("async_serial_latency_p50");
BENCHMARK_CAPTURE(BM_CondvarLatency, p50, "p50_us")->Name("async_serial_latency_p50/baseline");
BENCHMARK_CAPTURE(BM_SerialLatency, p99, "p99_us")->Name("async_serial_latency_p99");
BENCHMARK_CAPTURE(BM_CondvarLatency, p99, "p99_us")->Name("async_serial_latency_p99/baseline");

} // namespace

BENCHMARK_MAIN();
