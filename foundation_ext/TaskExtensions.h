#pragma once
// Running an executable to completion and collecting what it wrote. Every
// form ends in runTaskAtPath with the full set of parameters; the others
// supply defaults (no arguments, no input, error output kept). An empty
// path or argument list stands for nil.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

// True when the executable was started and has ended; false, with status and
// output untouched, when it was not started (no such file, not executable).
// Standard error joins the output unless ignoreErrorOutput, in which case it
// goes to the null device.
bool runTaskAtPath(std::string_view path, const std::vector<std::string>& arguments, const pf::Data& input,
                   std::int32_t* status, pf::Data* output, bool ignoreErrorOutput);
bool runTaskAtPath(std::string_view path, const std::vector<std::string>& arguments, const pf::Data& input,
                   std::int32_t* status, pf::Data* output);

// The output when the task ran, else nullopt.
std::optional<pf::Data> outputDataForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments,
                                                const pf::Data& inputData, bool ignoreErrorOutput);
std::optional<pf::Data> outputDataForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments,
                                                const pf::Data& inputData);
std::optional<pf::Data> outputDataForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments,
                                                bool ignoreErrorOutput);
std::optional<pf::Data> outputDataForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments);

// The output as UTF-8 text; "" when it is empty or the task did not run;
// nullopt when non-empty output is not valid UTF-8.
std::optional<std::string> outputStringForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments,
                                                     bool ignoreErrorOutput);
std::optional<std::string> outputStringForTaskAtPath(std::string_view path, const std::vector<std::string>& arguments);
std::optional<std::string> outputStringForTaskAtPath(std::string_view path, bool ignoreErrorOutput);
std::optional<std::string> outputStringForTaskAtPath(std::string_view path);
