// Tree sizes and tree comparison beside the command-line tools that answer
// the same questions on the same tree in the same run: du -sb (logical) and
// du -sB1 (allocated) over 100,000 files, diff -rq over two equal trees of
// 10,000 files. The trees are built once; every timed pass reads them warm.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <string>

#include "bench/support/BenchSupport.h"
#include "bench/support/RegisteredNames.h"
#include "foundation_ext/FileManagerExtensions.h"
#include "foundation_ext/TaskExtensions.h"

namespace {

constexpr int kFilesPerFolder = 1000;

void buildTree(const std::string& root, int files, const std::string& content) {
    ::mkdir(root.c_str(), 0755);
    for (int folder = 0; folder * kFilesPerFolder < files; ++folder) {
        const std::string dir = root + "/d" + std::to_string(folder);
        ::mkdir(dir.c_str(), 0755);
        for (int i = 0; i < kFilesPerFolder && folder * kFilesPerFolder + i < files; ++i) {
            FILE* f = std::fopen((dir + "/f" + std::to_string(i)).c_str(), "we");
            if (!f) continue;
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
    }
}

struct Trees {
    vb::ScratchDir scratch;
    std::string big = scratch.path() + "/big";
    std::string left = scratch.path() + "/left";
    std::string right = scratch.path() + "/right";
    Trees() {
        buildTree(big, 100'000, "size");
        buildTree(left, 10'000, std::string(1024, 'c'));
        buildTree(right, 10'000, std::string(1024, 'c'));
    }
};

vb::MadeOnFirstUse<Trees> trees;

template <bool Physical>
void ourSize(benchmark::State& state) {
    const std::string& root = trees.get().big;
    vb::repeat(state, [&](std::string* why) {
        const auto size = Physical ? physicalSizeOfDirectory(root) : logicalSizeOfDirectory(root);
        benchmark::DoNotOptimize(size);
        *why = "size 0";
        return size != 0;
    });
}

// The tool runs as a child whose output is read to its end, as a caller would.
void tool(benchmark::State& state, const char* path, std::vector<std::string> arguments) {
    vb::repeat(state, [&](std::string* why) {
        std::int32_t status = -1;
        pf::Data output;
        *why = std::string(path) + " failed";
        return runTaskAtPath(path, arguments, {}, &status, &output) && status == 0;
    });
}

void duLogical(benchmark::State& state) { tool(state, "/usr/bin/du", {"-sb", trees.get().big}); }
void duPhysical(benchmark::State& state) { tool(state, "/usr/bin/du", {"-sB1", trees.get().big}); }

void ourCompare(benchmark::State& state) {
    vb::repeat(state, [&](std::string* why) {
        *why = "trees unequal";
        return isDirectory(trees.get().left, trees.get().right);
    });
}

void diffCompare(benchmark::State& state) { tool(state, "/usr/bin/diff", {"-rq", trees.get().left, trees.get().right}); }

} // namespace

BENCHMARK(ourSize<false>)->Name("dirsize_logical_100k")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(duLogical)->Name("dirsize_logical_100k/baseline")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ourSize<true>)->Name("dirsize_physical_100k")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(duPhysical)->Name("dirsize_physical_100k/baseline")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ourCompare)->Name("tree_compare_10k")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(diffCompare)->Name("tree_compare_10k/baseline")->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    const int status = vb::runWithRegisteredNames(argc, argv);
    trees.end();
    return status;
}
