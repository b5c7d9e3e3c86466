#include "app/ExceptionGuard.h"

#include "app/VDApplication.h"
#include "foundation_ext/ExceptionCallStack.h"

void VDLogException(unsigned line, const pf::Exception& exception) {
    VDLog(1, "Exception @ %u: %@ Backtrace: %@", line, exception, vd_formattedCallStackReturnAddresses(exception));
}
