// Building a validated, normalised UTF-8 string, in bytes per second, beside
// UTF8-CPP's validity check over the same bytes: pure ASCII, mixed scripts
// without combining marks (validated and copied), and decomposed text (sent
// through the normaliser).
#include <benchmark/benchmark.h>

#include <string>
#include <utf8cpp/utf8.h>

#include "support/text/u8string.h"

namespace {

constexpr std::size_t kInputBytes = 64 * 1024;

std::string repeated(const std::string& unit) {
    std::string s;
    while (s.size() + unit.size() <= kInputBytes) s += unit;
    return s;
}

const std::string& input(int kind) {
    static const std::string ascii = repeated("/Users/shared/Library/Logs/VolumeSmith.log ");
    // Latin-1, Greek, CJK and an emoji: every sequence length, no combining mark.
    static const std::string mixed = repeated("caf\xC3\xA9 \xCE\xB1\xCE\xB2 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x92\xBE ");
    // e + U+0301 and Hangul jamo, as a decomposing file system hands them over.
    static const std::string decomposed = repeated("Re\xCC\x81sume\xCC\x81 \xE1\x84\x80\xE1\x85\xA1 ");
    return kind == 0 ? ascii : kind == 1 ? mixed : decomposed;
}

template <int Kind>
void BM_U8String(benchmark::State& state) {
    const std::string& bytes = input(Kind);
    for (auto _ : state) {
        u8string s(bytes);
        benchmark::DoNotOptimize(s.text().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.SetLabel("counter=bytes_per_second");
}

template <int Kind>
void BM_IsValid(benchmark::State& state) {
    const std::string& bytes = input(Kind);
    for (auto _ : state) benchmark::DoNotOptimize(utf8::is_valid(bytes.begin(), bytes.end()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.SetLabel("counter=bytes_per_second");
}

} // namespace

BENCHMARK(BM_U8String<0>)->Name("u8string_ascii");
BENCHMARK(BM_IsValid<0>)->Name("u8string_ascii/baseline");
BENCHMARK(BM_U8String<1>)->Name("u8string_mixed");
BENCHMARK(BM_IsValid<1>)->Name("u8string_mixed/baseline");
BENCHMARK(BM_U8String<2>)->Name("u8string_decomposed");
BENCHMARK(BM_IsValid<2>)->Name("u8string_decomposed/baseline");

BENCHMARK_MAIN();
