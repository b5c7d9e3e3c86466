// The log file's two costs beside spdlog's asynchronous logger writing the
// same text to a file: what one write costs its caller while four threads
// log at once (p50, p99), and how many lines per second reach the disk.
#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/BenchSupport.h"
#include "support/log/LogFile.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCallerThreads = 4;
constexpr int kLinesPerCaller = 5000;
constexpr int kThroughputLines = 20000;
// Big enough that spdlog's callers never block on a full queue: ours is unbounded.
constexpr std::size_t kSpdlogQueueSlots = 1 << 17;

struct Ours {
    explicit Ours(const std::string& path) : log(vdlog_open(path.c_str())) {}
    ~Ours() { vdlog_close(log); }
    bool ready() const { return log != nullptr; }
    void write(int i) { vdlog_write(log, 3, "line %d from the benchmark, with some ordinary text after it", i); }
    vdlog_handle* log;
};

// The thread pool goes with the object, so its end waits until every line is written.
struct Spdlog {
    explicit Spdlog(const std::string& path)
        : pool(std::make_shared<spdlog::details::thread_pool>(kSpdlogQueueSlots, 1)),
          logger(std::make_shared<spdlog::async_logger>(
              "bench", std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true), pool,
              spdlog::async_overflow_policy::block)) {
        logger->set_pattern("%M:%S.%e: [%L] %v");
    }
    ~Spdlog() {
        logger.reset();
        pool.reset();
    }
    bool ready() const { return true; }
    void write(int i) { logger->info("line {} from the benchmark, with some ordinary text after it", i); }
    std::shared_ptr<spdlog::details::thread_pool> pool;
    std::shared_ptr<spdlog::async_logger> logger;
};

template <class Logger>
void callerCost(benchmark::State& state, const char* counter) {
    vb::ScratchDir dir;
    std::vector<double> samples;
    for (auto _ : state) {
        Logger logger(dir.path() + "/caller.log");
        if (!logger.ready()) {
            state.SkipWithError("the log does not open");
            return;
        }
        std::vector<std::vector<double>> perThread(kCallerThreads);
        std::vector<std::thread> callers;
        for (auto& mine : perThread)
            callers.emplace_back([&logger, &mine] {
                mine.reserve(kLinesPerCaller);
                for (int i = 0; i < kLinesPerCaller; ++i) {
                    const auto start = Clock::now();
                    logger.write(i);
                    mine.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
                }
            });
        for (auto& t : callers) t.join();
        for (const auto& mine : perThread) samples.insert(samples.end(), mine.begin(), mine.end());
    }
    vb::reportPercentiles(state, samples, "ns", counter);
}

template <class Logger>
void linesPerSecond(benchmark::State& state) {
    vb::ScratchDir dir;
    for (auto _ : state) {
        Logger logger(dir.path() + "/lines.log");
        if (!logger.ready()) {
            state.SkipWithError("the log does not open");
            return;
        }
        for (int i = 0; i < kThroughputLines; ++i) logger.write(i);
    }  // the logger's end drains it: every line is on disk inside the timing
    state.SetItemsProcessed(state.iterations() * kThroughputLines);
    state.SetLabel("counter=items_per_second");
}

void BM_CallerP50(benchmark::State& state) { callerCost<Ours>(state, "p50_ns"); }
void BM_SpdlogCallerP50(benchmark::State& state) { callerCost<Spdlog>(state, "p50_ns"); }
void BM_CallerP99(benchmark::State& state) { callerCost<Ours>(state, "p99_ns"); }
void BM_SpdlogCallerP99(benchmark::State& state) { callerCost<Spdlog>(state, "p99_ns"); }

} // namespace

BENCHMARK(BM_CallerP50)->Name("log_write_caller_p50")->Iterations(3)->UseRealTime();
BENCHMARK(BM_SpdlogCallerP50)->Name("log_write_caller_p50/baseline")->Iterations(3)->UseRealTime();
BENCHMARK(BM_CallerP99)->Name("log_write_caller_p99")->Iterations(3)->UseRealTime();
BENCHMARK(BM_SpdlogCallerP99)->Name("log_write_caller_p99/baseline")->Iterations(3)->UseRealTime();
BENCHMARK(linesPerSecond<Ours>)->Name("log_lines_per_second")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(linesPerSecond<Spdlog>)->Name("log_lines_per_second/baseline")->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
