#include "foundation_ext/TaskExtensions.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utf8cpp/utf8.h>

#include "foundation_ext/ExtensionLog.h"
#include "platform/system/Task.h"
#include "platform/system/TaskPipes.h"

namespace {

// The collected output is held in memory; a task that writes more than this
// is still read to its end, but the rest is dropped.
constexpr std::size_t kMaxTaskOutputBytes = 256u << 20;

bool isExecutableFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

bool runTaskAtPath(std::string_view path, const std::vector<std::string>& arguments, const pf::Data& input,
                   std::int32_t* status, pf::Data* output, bool ignoreErrorOutput) {
    const std::string executable(path);
    if (executable.empty() || executable.find('\0') != std::string::npos || !isExecutableFile(executable))
        return false;
    auto pipes = pf::TaskPipes::make();
    if (!pipes) return false;

    pf::Task::Streams streams{pipes->inputChild.get(), pipes->outputChild.get(),
                              ignoreErrorOutput ? -1 : pipes->outputChild.get()};
    int error = 0;
    auto task = pf::Task::launch(executable, arguments, streams, error);
    if (!task) return false;

    pf::Data collected;
    if (!pipes->exchange(input, collected, kMaxTaskOutputBytes)) {
        // The platform raises when the child stops reading its input; the
        // convention logs that and the run goes on.
        VDExtGuardNamed("+[NSTask(VDExtensions) runTaskAtPath:withArguments:input:status:output:ignoreErrorOutput:]",
                        __LINE__, [] {
                            pf::raise("NSFileHandleOperationException",
                                      "*** -[NSConcreteFileHandle writeData:]: Broken pipe");
                        });
    }
    // The wait returns when the child ends (waitpid) instead of polling every
    // 0.05 s; the results are the same, only sooner.
    const int terminationStatus = task->waitUntilExit();
    if (status) *status = terminationStatus;
    if (output) *output = std::move(collected);
    return true;
}

bool runTaskAtPath(std::string_view path, const std::vector<std::string>& arguments, const pf::Data& input,
                   std::int32_t* status, pf::Data* output) {
    return runTaskAtPath(path, arguments, input, status, output, false);
}

std::optional<pf::Data> outputDataForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments,
                                                const pf::Data& inputData, bool ignoreErrorOutput) {
    pf::Data output;
    if (!runTaskAtPath(path, arguments, inputData, nullptr, &output, ignoreErrorOutput)) return std::nullopt;
    return output;
}

std::optional<pf::Data> outputDataForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments,
                                                const pf::Data& inputData) {
    return outputDataForTaskAtPath(path, arguments, inputData, false);
}

std::optional<pf::Data> outputDataForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments,
                                                bool ignoreErrorOutput) {
    return outputDataForTaskAtPath(path, arguments, pf::Data{}, ignoreErrorOutput);
}

std::optional<pf::Data> outputDataForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments) {
    return outputDataForTaskAtPath(path, arguments, pf::Data{}, false);
}

std::optional<std::string> outputStringForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments,
                                                     bool ignoreErrorOutput) {
    const auto data = outputDataForTaskAtPath(path, arguments, ignoreErrorOutput);
    if (!data || data->empty()) return std::string();
    if (!utf8::is_valid(data->begin(), data->end())) return std::nullopt;
    return std::string(data->begin(), data->end());
}

std::optional<std::string> outputStringForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments) {
    return outputStringForTaskAtPath(path, arguments, false);
}

std::optional<std::string> outputStringForTaskAtPath(std::string_view path, bool ignoreErrorOutput) {
    return outputStringForTaskAtPath(path, {}, ignoreErrorOutput);
}

std::optional<std::string> outputStringForTaskAtPath(std::string_view path) {
    return outputStringForTaskAtPath(path, {}, false);
}
