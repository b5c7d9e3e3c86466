#include "bench/support/RegisteredNames.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace vb {
namespace {

class RegisteredNameReporter : public benchmark::BenchmarkReporter {
public:
    RegisteredNameReporter() : inner_(benchmark::CreateDefaultDisplayReporter()) {}

    bool ReportContext(const Context& context) override { return inner_->ReportContext(context); }

    void ReportRuns(const std::vector<Run>& reports) override {
        std::vector<Run> renamed = reports;
        for (Run& run : renamed) {
            run.run_name.args.clear();
            run.run_name.min_time.clear();
            run.run_name.iterations.clear();
            run.run_name.time_type.clear();
        }
        inner_->ReportRuns(renamed);
    }

    void Finalize() override { inner_->Finalize(); }

private:
    std::unique_ptr<benchmark::BenchmarkReporter> inner_;
};

} // namespace

int runWithRegisteredNames(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisteredNameReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace vb
