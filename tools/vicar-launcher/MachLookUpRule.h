#pragma once
// Who may look up a Mach service name the launcher serves: the daemon's own
// name (the embedded bundle identifier) admits exactly the peers its XPC
// service admits (the SMAuthorizedClients rules, judged on kernel
// credentials); any other job's name admits everyone, as launchd does.
#include <string>

#include "platform/mach/BootstrapServer.h"

pf::mach::BootstrapServer::Rule machLookUpRule(const std::string& serviceName);
