#include "installer/VDInstallBOM.h"

#include "app/ExceptionGuard.h"
#include "installer/BOMFile.h"
#include "installer/RequiredValue.h"
#include "installer/VDInstallResource.h"
#include "installer/VDUninstallResource.h"

pf::Value VDInstallBOM::identityFilter(const pf::Value& entry) { return entry; }

pf::Value VDInstallBOM::informationFilter(const pf::Value& entry) {
    const pf::Value* csv = entry.find("CSV");
    if (!csv) return entry;
    pf::Value copy = entry;
    copy.dictionary()["CSV"] = false;
    copy.dictionary()["__INA__"] = true;
    return copy;
}

std::optional<pf::URL> VDInstallBOM::BOMURLForBundle(const pf::Bundle& bundle) {
    return bundle.URLForResource("BOM", "plist", "", "");
}

std::optional<pf::Value> VDInstallBOM::BOMDictionaryWithBundle(const pf::Bundle& bundle) {
    auto url = BOMURLForBundle(bundle);
    if (!url) return std::nullopt;
    auto contents = VDReadBOMFile(url->path());
    if (!contents) return std::nullopt;
    return std::move(contents->topLevel);
}

std::shared_ptr<VDInstallBOM> VDInstallBOM::BOMWithBundle(const pf::Bundle& bundle) {
    return BOMWithDictionary(BOMDictionaryWithBundle(bundle).value_or(pf::Value()), bundle.bundleURL().directoryURL());
}

std::shared_ptr<VDInstallBOM> VDInstallBOM::BOMInfoWithBundle(const pf::Bundle& bundle) {
    return BOMWithDictionary(BOMDictionaryWithBundle(bundle).value_or(pf::Value()), bundle.bundleURL().directoryURL(),
                             informationFilter);
}

std::shared_ptr<VDInstallBOM> VDInstallBOM::BOMWithDictionary(const pf::Value& dictionary,
                                                              const pf::URL& resourceRoot) {
    return BOMWithDictionary(dictionary, resourceRoot, identityFilter);
}

std::shared_ptr<VDInstallBOM> VDInstallBOM::BOMWithDictionary(const pf::Value& dictionary,
                                                              const pf::URL& resourceRoot,
                                                              const InstallResourceFilter& filter) {
    std::shared_ptr<VDInstallBOM> built;
    VDGuard(170, [&] {
        auto bom = std::make_shared<VDInstallBOM>();
        if (dictionary.isNull()) VDFailCheck(132);
        const pf::Value& install = VDRequiredValue(dictionary, "Install", 132);

        const pf::Value* forceClean = install.find("ForceClean");
        bom->forceCleanInstall_ = forceClean && forceClean->boolValue();
        const pf::Value* location = install.find("DefaultLocation");
        if (location && !location->string().empty())
            bom->defaultLocation_ = pf::URL::fileURLWithPath(location->string(), true);

        for (const pf::Value& entry : VDRequiredValue(install, "Resources", 145).array()) {
            auto resource = VDInstallResource::installResourceWithDictionary(filter ? filter(entry) : entry,
                                                                             resourceRoot);
            if (!resource) VDFailCheck(150);
            bom->installResources_.push_back(std::move(resource));
        }

        const pf::Value& uninstall = VDRequiredValue(dictionary, "Uninstall", 156);
        for (const pf::Value& entry : VDRequiredValue(uninstall, "Resources", 159).array()) {
            auto resource = VDInstallResource::uninstallResourceWithDictionary(entry);
            if (!resource) VDFailCheck(164);
            bom->uninstallResources_.push_back(std::move(resource));
        }
        built = std::move(bom);
    });
    return built;
}
