#pragma once
// The exception convention, written once: run a step, and when it raises the
// platform's exception type, log it at level 1 with its call-stack text and
// carry on. Other exceptions propagate.
//
//   VDGuard(42, [&] { ... });                         "Exception @ 42: <reason> Backtrace: (...)"
//   VDGuardNamed("-[X y]", 7, [&] { ... });           "-[X y]::7 Exception: <reason> Backtrace: (...)"
//
// Both return true when the step completed, false when it raised. The named
// form is the extensions' own: the application installs its logger there, so
// both layers write the same line through the same route.
#include <utility>

#include "foundation_ext/ExtensionLog.h"
#include "platform/foundation/Exception.h"

void VDLogException(unsigned line, const pf::Exception& exception);
inline void VDLogException(const char* function, unsigned line, const pf::Exception& exception) {
    VDExtLogException(function, line, exception);
}

template <class F>
bool VDGuard(unsigned line, F&& step) {
    try {
        std::forward<F>(step)();
        return true;
    } catch (const pf::Exception& exception) {
        VDLogException(line, exception);
        return false;
    }
}

template <class F>
bool VDGuardNamed(const char* function, unsigned line, F&& step) {
    return VDExtGuardNamed(function, line, std::forward<F>(step));
}
