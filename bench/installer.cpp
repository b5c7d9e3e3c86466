// The trusted installer in this process: a signed bundle whose BOM copies one
// folder (many small files, or a few large ones) into an emptied install
// root, beside a verified copy of the same tree: sha256sum of every file of
// the bundle, then cp -a, chown -R and chmod -R. A signed install reads and
// hashes every byte at least once, so one hash pass and one copy is its floor.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/support/BenchSupport.h"
#include "bench/support/RegisteredNames.h"
#include "bench/support/SignedBundles.h"

namespace {

struct Payload {
    int count;
    std::size_t bytes;
    std::int64_t total() const { return static_cast<std::int64_t>(count) * static_cast<std::int64_t>(bytes); }
};

constexpr Payload kSmall{2000, 1024};
constexpr Payload kLarge{20, 20u << 20};

struct Setup {
    // In memory: on disk, ext4's allocator skips every inode freed in the
    // last half minute (the other benchmarks free 100,000), which made both
    // figures swing threefold from run to run; in memory both sides measure
    // the work of the copy itself.
    vb::ScratchDir scratch{"/dev/shm"};
    vb::SignedBundles bundles{scratch.path()};
    std::string smallBundle = bundles.makePayloadBundle("Small.app", kSmall.count, kSmall.bytes, "/Payload");
    std::string largeBundle = bundles.makePayloadBundle("Large.app", kLarge.count, kLarge.bytes, "/Payload");
    std::string root = scratch.path() + "/root";
    std::string copyTarget = scratch.path() + "/copy";

    Setup() {
        std::filesystem::create_directory(root);
        std::filesystem::create_directory(copyTarget);
    }
};

// Made by the first case that runs, removed (with its 800 MB) when all ran.
vb::MadeOnFirstUse<Setup> gSetup;
Setup& setup() { return gSetup.get(); }

constexpr const char* kNeedsRoot = "installs change owners: run as root";

void reportBytes(benchmark::State& state, const Payload& payload) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * payload.total());
    state.SetLabel("counter=bytes_per_second");
}

void install(benchmark::State& state, const std::string& bundle, const Payload& payload) {
    if (!vb::requireRoot(state, kNeedsRoot)) return;
    Setup& s = setup();
    const bool done = vb::repeat(
        state,
        [&](std::string*) {
            vb::emptyDirectory(s.root);
            return true;
        },
        [&](std::string* why) { return vb::installInProcess(bundle, s.root, why); });
    if (done) reportBytes(state, payload);
}

void verifiedCopy(benchmark::State& state, const std::string& bundle, const Payload& payload) {
    if (!vb::requireRoot(state, kNeedsRoot)) return;
    Setup& s = setup();
    const std::string source = bundle + "/Contents/Resources/Payload";
    const std::string target = s.copyTarget + "/Payload";
    const std::string command = "find '" + bundle + "' -type f -print0 | xargs -0 sha256sum >/dev/null && " +
                                "cp -a '" + source + "' '" + target + "' && chown -R 0:0 '" + target +
                                "' && chmod -R u=rwX,go=rX '" + target + "'";
    const bool done = vb::repeat(
        state,
        [&](std::string*) {
            vb::emptyDirectory(s.copyTarget);
            return true;
        },
        [&](std::string* why) {
            *why = "the verified copy failed";
            return vb::shell(command);
        });
    if (done) reportBytes(state, payload);
}

void BM_InstallSmall(benchmark::State& state) { install(state, setup().smallBundle, kSmall); }
void BM_CopySmall(benchmark::State& state) { verifiedCopy(state, setup().smallBundle, kSmall); }
void BM_InstallLarge(benchmark::State& state) { install(state, setup().largeBundle, kLarge); }
void BM_CopyLarge(benchmark::State& state) { verifiedCopy(state, setup().largeBundle, kLarge); }

BENCHMARK(BM_InstallSmall)->Name("install_2000_small_files")->Iterations(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopySmall)->Name("install_2000_small_files/baseline")->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InstallLarge)->Name("install_20_files_of_20MB")->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyLarge)->Name("install_20_files_of_20MB/baseline")->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    const int status = vb::runWithRegisteredNames(argc, argv);
    gSetup.end();
    return status;
}
