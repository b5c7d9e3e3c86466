#pragma once
// A signed sample bundle in a private folder, with its key pair and a
// trusted-keys folder holding the public half ($VICAR_TRUSTED_KEYS_DIR).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/TestSupport.h"

namespace vt {

class SignedBundleTest : public ::testing::Test {
protected:
    void SetUp() override { makeSignedBundle(); }
    void TearDown() override;
    // Starts over in a new private folder, for tests that tamper many times.
    void makeSignedBundle();

    std::string bundle() const { return *dir_ / "Sample.app"; }
    std::string item(const std::string& relative) const { return bundle() + "/" + relative; }
    std::string keysDir() const { return *dir_ / "keys"; }
    std::string privateKey() const { return *dir_ / "private/packager.key"; }
    std::string signatureFile(const char* leaf) const { return item("Contents/_CodeSignature/") + leaf; }
    std::string scratch(const std::string& leaf) const { return *dir_ / leaf; }

    // Writes CodeResources as given and signs those exact bytes with the packager key.
    void resealManifest(const std::string& manifestXml) const;

private:
    std::unique_ptr<TempDir> dir_;
};

} // namespace vt
