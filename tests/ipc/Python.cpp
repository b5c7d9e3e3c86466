#include "tests/ipc/Python.h"

#include <sys/wait.h>

#include <cstdio>

#include "tests/support/TestSupport.h"

namespace vt {

bool havePython() {
    static const bool available = runPython("print('ok')").out == "ok\n";
    return available;
}

PythonResult runPython(const std::string& script, const pf::Data& input, std::chrono::seconds watchdog) {
    PythonResult result;
    TempDir dir("vicar-py");
    writeFile(dir / "script.py", script);
    writeFile(dir / "input", std::string(input.begin(), input.end()));
    // coreutils' timeout is the watchdog; the folder name comes from mkdtemp.
    const std::string command = "timeout -s KILL " + std::to_string(watchdog.count()) + " python3 '" +
                                (dir / "script.py") + "' '" + (dir / "input") + "' </dev/null";
    FILE* pipe = ::popen(command.c_str(), "re");
    if (!pipe) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace vt
