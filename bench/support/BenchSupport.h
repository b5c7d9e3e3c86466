#pragma once
// What the benchmark programs share: a child process running this same
// program in a serving role, latency percentiles, and a private folder.
#include <sys/types.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace vb {

// Starts argv0 (normally /proc/self/exe) with the arguments, its standard
// output discarded; stopped (SIGTERM, then waited for) when the object goes away.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    // The caller reaped the child itself.
    void forget() { pid_ = -1; }

private:
    pid_t pid_ = -1;
};

// A private folder under /tmp, removed with its content at destruction.
class ScratchDir {
public:
    // A fresh folder under `base`, removed with the object.
    explicit ScratchDir(const std::string& base = "/tmp");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The q-th quantile (0..1) of the samples (sorted in place).
double quantile(std::vector<double>& samples, double q);
// Sets the case's counters p50_<unit> and p99_<unit> from the samples (sorted
// in place) and labels the case with the counter its figure comes from.
void reportPercentiles(benchmark::State& state, std::vector<double>& samples, const std::string& unit,
                       const std::string& counter);

// Waits until a Unix socket at the path accepts connections (up to 10 s).
bool waitForSocket(const std::string& path);

// A fixture made by the first case that needs it and ended by main() once
// every case ran, before static destruction (its daemons and files go then).
template <class T>
class MadeOnFirstUse {
public:
    T& get() {
        if (!made_) made_ = std::make_unique<T>();
        return *made_;
    }
    void end() { made_.reset(); }

private:
    std::unique_ptr<T> made_;
};

// False, with the case skipped for the reason given, unless this runs as root.
bool requireRoot(benchmark::State& state, const char* why);

// Times `attempt(&why)` once per iteration, after `prepare(&why)` when given
// (untimed). The first step that returns false ends the case with its why.
template <class Attempt>
bool repeat(benchmark::State& state, Attempt&& attempt) {
    std::string why;
    for (auto _ : state) {
        if (!attempt(&why)) {
            state.SkipWithError(why.c_str());
            return false;
        }
    }
    return true;
}

template <class Prepare, class Attempt>
bool repeat(benchmark::State& state, Prepare&& prepare, Attempt&& attempt) {
    std::string why;
    for (auto _ : state) {
        state.PauseTiming();
        const bool ready = prepare(&why);
        state.ResumeTiming();
        if (!ready || !attempt(&why)) {
            state.SkipWithError(why.c_str());
            return false;
        }
    }
    return true;
}

// Runs a shell command; false when it fails.
bool shell(const std::string& command);

} // namespace vb
