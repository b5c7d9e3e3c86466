#pragma once
// Single-user mode on Linux: the system was booted into the rescue or
// emergency target, or with "single"/"S"/"1"/"emergency"/"rescue" on the
// kernel command line. VICAR_SINGLE_USER=1/0 decides instead (for tests).
namespace pf {

bool isSingleUserMode();

} // namespace pf
