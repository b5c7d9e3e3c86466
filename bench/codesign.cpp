// Verifying a signed bundle of large files, against sha256sum hashing the
// same files: the walk, the signature and the comparisons should cost little
// beyond the hashing itself.
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/codesign/CodeSignature.h"

namespace {

constexpr int kFiles = 20;
constexpr std::size_t kFileBytes = 8u << 20;

// A signed bundle under /tmp, made once and removed at exit.
class SignedBundle {
public:
    SignedBundle() {
        std::string pattern = "/tmp/vicar-bench-codesign.XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        namespace fs = std::filesystem;
        const std::string resources = bundle() + "/Contents/Resources";
        fs::create_directories(resources);
        fs::create_directories(root_ + "/keys");
        ::chmod((root_ + "/keys").c_str(), 0755);
        std::vector<char> bytes(kFileBytes);
        unsigned state = 12345;
        for (char& b : bytes) b = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
        for (int i = 0; i < kFiles; ++i) {
            bytes[0] = static_cast<char>(i);
            const std::string path = resources + "/blob" + std::to_string(i) + ".bin";
            std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            files_.push_back(path);
        }
        std::string why;
        if (!pf::codesign::generateKeyPair(root_ + "/bench", &why) ||
            !pf::codesign::signBundle(bundle(), root_ + "/bench.key", &why)) {
            throw std::runtime_error(why);
        }
        fs::copy_file(root_ + "/bench.pub", root_ + "/keys/bench.pub");
        ::setenv("VICAR_TRUSTED_KEYS_DIR", (root_ + "/keys").c_str(), 1);
    }
    ~SignedBundle() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    std::string bundle() const { return root_ + "/Bench.app"; }
    const std::vector<std::string>& files() const { return files_; }
    static std::int64_t totalBytes() { return static_cast<std::int64_t>(kFiles) * static_cast<std::int64_t>(kFileBytes); }

private:
    std::string root_;
    std::vector<std::string> files_;
};

SignedBundle& sharedBundle() {
    static SignedBundle bundle;
    return bundle;
}

// The baseline's work happens in child processes, which CPU time does not
// see, so both cases report bytes over wall-clock time.
void reportThroughput(benchmark::State& state, std::chrono::steady_clock::duration elapsed) {
    const double bytes = static_cast<double>(state.iterations() * SignedBundle::totalBytes());
    const double seconds = std::chrono::duration<double>(elapsed).count();
    state.SetBytesProcessed(state.iterations() * SignedBundle::totalBytes());
    if (seconds > 0) {
        state.counters["bytes_per_second"] =
            benchmark::Counter(bytes / seconds, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
    }
    state.SetLabel("counter=bytes_per_second");
}

void verifyThroughput(benchmark::State& state) {
    SignedBundle& bundle = sharedBundle();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::string why;
        if (!pf::codesign::verifyBundle(bundle.bundle(), &why)) {
            state.SkipWithError(("verification failed: " + why).c_str());
            return;
        }
    }
    reportThroughput(state, std::chrono::steady_clock::now() - start);
}

void sha256sumThroughput(benchmark::State& state) {
    SignedBundle& bundle = sharedBundle();
    std::string command = "sha256sum";
    for (const std::string& file : bundle.files()) command += " '" + file + "'";
    command += " >/dev/null";
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("sha256sum failed");
            return;
        }
    }
    reportThroughput(state, std::chrono::steady_clock::now() - start);
}

} // namespace

BENCHMARK(verifyThroughput)->Name("codesign_verify_throughput")->Unit(benchmark::kMillisecond);
BENCHMARK(sha256sumThroughput)->Name("codesign_verify_throughput/baseline")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
