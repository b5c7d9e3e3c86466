#pragma once
// The installer's NSPOSIXErrorDomain errors about one item: the URL object
// itself goes under NSURLErrorFailingURLStringErrorKey (not its text), so a
// client unarchives an NSURL there, as it would from the platform's installer.
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

inline pf::Error VDFailingURLError(int code, const pf::URL& url) {
    return pf::Error(pf::NSPOSIXErrorDomain, code, {{pf::NSURLErrorFailingURLStringErrorKey, pf::Value(url)}});
}
