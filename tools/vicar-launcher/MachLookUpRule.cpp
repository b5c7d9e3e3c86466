#include "tools/vicar-launcher/MachLookUpRule.h"

#include "platform/foundation/Bundle.h"
#include "server/VDClientAdmission.h"

pf::mach::BootstrapServer::Rule machLookUpRule(const std::string& serviceName) {
    auto bundle = pf::Bundle::mainBundle();
    if (!bundle || serviceName != bundle->bundleIdentifier())
        return [](const pf::xpc::PeerCredentials&) { return std::optional<std::string>(); };
    auto admission = std::make_shared<VDClientAdmission>(VDClientRequirement::fromMainBundle());
    return [admission](const pf::xpc::PeerCredentials& peer) { return admission->admitPeer(peer); };
}
