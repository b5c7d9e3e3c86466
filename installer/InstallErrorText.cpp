#include "installer/InstallErrorText.h"

#include "platform/foundation/Error.h"

std::string VDInstallErrorDescription(const pf::Error& error) {
    if (error.domain() == pf::NSPOSIXErrorDomain) {
        switch (error.code()) {
        case 88: return "The bundle's signature is not valid, or its BOM is not the one it seals.";
        case 22: return "The bundle's BOM does not build (the daemon's log says which check failed).";
        case 1: return "A source item changed after the BOM was read, or its bytes are not the ones the bundle seals.";
        }
    }
    return error.localizedDescription();
}
