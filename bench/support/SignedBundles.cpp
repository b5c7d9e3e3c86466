#include "bench/support/SignedBundles.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "installer/VDTrustedInstaller.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace vb {

namespace fs = std::filesystem;

namespace {

void writeFile(const std::string& path, std::size_t bytes, unsigned seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    // Content differs per file so that nothing deduplicates or compresses it away.
    std::vector<char> chunk(std::min<std::size_t>(bytes, 1 << 20));
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((i * 131 + seed * 7919) >> 3);
    for (std::size_t left = bytes; left > 0;) {
        const std::size_t n = std::min(left, chunk.size());
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out) throw std::runtime_error("cannot write " + path);
    ::chmod(path.c_str(), 0644);
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

} // namespace

SignedBundles::SignedBundles(std::string folder) : folder_(std::move(folder)), keys_(folder_ + "/keys") {
    fs::create_directories(keys_);
    ::chmod(keys_.c_str(), 0755);
    std::string why;
    if (!pf::codesign::generateKeyPair(folder_ + "/packager", &why)) throw std::runtime_error("keygen: " + why);
    fs::copy_file(folder_ + "/packager.pub", keys_ + "/packager.pub");
    ::setenv("VICAR_TRUSTED_KEYS_DIR", keys_.c_str(), 1);
}

std::string SignedBundles::makePayloadBundle(const std::string& name, int count, std::size_t bytes,
                                             const std::string& destination) const {
    const std::string bundle = folder_ + "/" + name;
    const std::string payload = bundle + "/Contents/Resources/Payload";
    fs::create_directories(payload);
    writeText(bundle + "/Contents/Info.plist", "<plist><dict/></plist>\n");
    for (int i = 0; i < count; ++i) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "/f%05d", i);
        writeFile(payload + leaf, bytes, static_cast<unsigned>(i));
    }
    const pf::Value bom(pf::Dictionary{
        {"Install", pf::Dictionary{{"Resources", pf::Array{pf::Value(pf::Dictionary{
                                                      {"CSV", true},
                                                      {"From", "Contents/Resources/Payload"},
                                                      {"To", destination},
                                                      {"User", "root"},
                                                      {"Group", "root"},
                                                      {"Mask", "0755"},
                                                  })}}}},
        {"Uninstall", pf::Dictionary{{"Resources", pf::Array{}}}},
    });
    auto xml = pf::xmlPropertyList(bom);
    if (!xml) throw std::runtime_error("the BOM is no property list");
    writeText(bundle + "/Contents/Resources/BOM.plist", *xml);
    std::string why;
    if (!pf::codesign::signBundle(bundle, folder_ + "/packager.key", &why)) throw std::runtime_error("sign: " + why);
    return bundle;
}

void emptyDirectory(const std::string& path) {
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(path, ec)) fs::remove_all(item.path(), ec);
}

std::string directoryURLString(const std::string& path) {
    auto url = pf::URL::fileURLWithPath(path, true);
    if (!url) throw std::runtime_error("no URL for " + path);
    return url->absoluteString();
}

bool installInProcess(const std::string& bundle, const std::string& root, std::string* why) {
    auto installer = VDTrustedInstaller::installerWithBundle(pf::Bundle::bundleWithPath(bundle));
    if (!installer) {
        *why = "the bundle has no readable BOM";
        return false;
    }
    installer->setInstallRoot(pf::URL::fileURLWithPath(root, true));
    if (auto error = installer->install()) {
        *why = "install failed: " + error->localizedDescription();
        return false;
    }
    return true;
}

} // namespace vb
