#pragma once
// The task library's diagnostics: one line on standard output per caught
// exception ("Exception @ <site>: <text>", "Unknown exception @ <site>"),
// flushed at once, and the fatal end of the process for internal faults.
#include <exception>
#include <string_view>

namespace VD::async {

void report_exception(unsigned site, const std::exception& e);
void report_unknown_exception(unsigned site);

// Runs body; an exception that escapes it is reported for the site and swallowed.
template <class Body>
void run_reported(unsigned site, Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        report_exception(site, e);
    } catch (...) {
        report_unknown_exception(site);
    }
}

// Writes the message and a newline to standard error and ends the process
// abnormally: no exit handlers run, as for any fatal fault of this program.
[[noreturn]] void terminate_process(std::string_view message) noexcept;

} // namespace VD::async
