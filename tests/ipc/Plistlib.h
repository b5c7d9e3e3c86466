#pragma once
// The independent reader and writer the IPC bytes are checked against:
// Python's plistlib, run as a snippet (the bytes given are in the file named
// by sys.argv[1]; what it prints comes back; a watchdog kills it when it
// hangs), and one text form of a property-list value printed the same way by
// canonical() and by the snippets' canon(), so both readers' views of the same
// bytes compare as strings. Objects print as the Python unarchiver prints
// them: URLs as {"URL": string}, errors as {"code":..,"domain":..,"userInfo":{..}}.
#include <chrono>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace vt {

struct PythonResult {
    int status = -1; // exit status, -1 when it did not exit normally
    std::string out;
};

PythonResult runPython(const std::string& script, const pf::Data& input = {},
                       std::chrono::seconds watchdog = std::chrono::seconds(30));

std::string canonical(const pf::Value& value);
std::string canonicalError(const pf::Error& error);

// Python definitions of canon(x) and a strict unarchive(bytes) matching the above.
extern const char* const CANON_PY;

} // namespace vt
