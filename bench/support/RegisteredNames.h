#pragma once
// The library appends "/ARG", "/iterations:N", "/real_time", "/min_time:..."
// to a case's name when it is registered with those settings; the benchmark runner
// pairs "<NAME>" with "<NAME>/baseline" by name, so such cases would never
// pair. This main reports every case under the name it was registered with,
// in the format --benchmark_format asks for; so cases that differ only by
// their arguments need names of their own.
namespace vb {

// Initialises the library from the arguments, runs the selected cases and
// returns the process status.
int runWithRegisteredNames(int argc, char** argv);

} // namespace vb
