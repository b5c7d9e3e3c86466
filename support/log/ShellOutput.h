#pragma once
// The standard output of a shell command, or "" when the shell cannot be
// started. The exit status is not examined.
#include <string>

std::string vdshell_output(const char* command);
