#pragma once
// Runs a Python 3 snippet as an independent reader or writer of property
// lists: the bytes given are in the file named by sys.argv[1]; what the
// snippet prints comes back. A watchdog kills a snippet that hangs.
#include <chrono>
#include <string>

#include "platform/foundation/Value.h"

namespace vt {

struct PythonResult {
    int status = -1; // exit status, -1 when it did not exit normally
    std::string out;
};

PythonResult runPython(const std::string& script, const pf::Data& input = {},
                       std::chrono::seconds watchdog = std::chrono::seconds(30));
bool havePython();

} // namespace vt
