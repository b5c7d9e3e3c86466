#pragma once
// Signed bundles for the install benchmarks: a packager key pair whose public
// half is the only trusted key (VICAR_TRUSTED_KEYS_DIR points at it, for this
// process and the processes it starts), and bundles signed with it whose BOM
// copies one payload folder.
#include <cstddef>
#include <string>

namespace vb {

class SignedBundles {
public:
    // Makes folder/keys and folder/packager.{key,pub}; throws when it cannot.
    explicit SignedBundles(std::string folder);

    // A signed bundle at folder/name: Contents/Resources/Payload holds `count`
    // files of `bytes` bytes each (mode 0644), and the BOM copies that folder to
    // the absolute `destination` (owner root, group root, mode 0755).
    std::string makePayloadBundle(const std::string& name, int count, std::size_t bytes,
                                  const std::string& destination) const;

    const std::string& keysDirectory() const { return keys_; }

private:
    std::string folder_;
    std::string keys_;
};

// Installs the bundle with the trusted installer in this process, under the
// install root; false with the reason in *why when it does not succeed.
bool installInProcess(const std::string& bundle, const std::string& root, std::string* why);

// Removes everything inside the folder, keeping the folder itself.
void emptyDirectory(const std::string& path);

// The "file://" URL string of a folder, with its trailing slash.
std::string directoryURLString(const std::string& path);

} // namespace vb
