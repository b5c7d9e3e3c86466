#pragma once
// What an error in an install or uninstall reply means, for people. The
// installer answers a failed signature check, a BOM that does not build and a
// source that changed with the platform's codes 88, 22 and 1 in the POSIX
// domain (88 being its malformed-executable code); the host's text for those
// numbers ("Socket operation on non-socket" for 88) would mislead, so they get
// their meaning here. The reply itself carries only the domain and code.
#include <string>

namespace pf {
class Error;
}

std::string VDInstallErrorDescription(const pf::Error& error);
