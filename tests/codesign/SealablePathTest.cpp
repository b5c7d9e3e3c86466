#include <gtest/gtest.h>

#include <string>

#include "platform/codesign/ManifestCoding.h"
#include "platform/codesign/SealablePath.h"

namespace {

using namespace pf::codesign;

TEST(SealablePath, AcceptsOnlyPlainRelativePathsAndKeyNames) {
    struct Case {
        std::string path;
        bool sealable;
    };
    const Case cases[] = {
        {"Contents", true}, {"Contents/Resources/a b.txt", true}, {"Contents/R\xc3\xa9sum\xc3\xa9", true},
        {"Contents/_CodeSignatureX", true}, {"", false}, {"/Contents", false}, {"Contents/", false},
        {"Contents//x", false}, {"Contents/./x", false}, {"Contents/../x", false}, {"..", false},
        {"Contents/\x01x", false}, {"Contents/\xff", false}, {"Contents/_CodeSignature", false},
        {"Contents/_CodeSignature/CodeResources", false}, {std::string(4097, 'a'), false},
    };
    for (const Case& c : cases) EXPECT_EQ(isSealablePath(c.path), c.sealable) << c.path;

    EXPECT_TRUE(isValidKeyName("packager-2.prod_key"));
    for (const char* bad : {"", "a/b", "a b", "k\n", "ké"}) EXPECT_FALSE(isValidKeyName(bad)) << bad;
}

// A manifest, even one signed by a trusted key, holds only sealable paths,
// each beneath a folder of its own.
TEST(SealablePath, ManifestWithAnUnsealablePathOrAnEntryWithoutItsFolderIsRefused) {
    const SealedManifest::Entry link{SealedManifest::Entry::Link, "", "/etc", 0};
    const struct {
        SealedEntries entries;
        const char* reason;
    } cases[] = {
        {{{"../x", link}}, "cannot be sealed: \"../x\""},
        {{{"Contents/x", link}}, "lists Contents/x but not its folder"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(decodeManifest(encodeManifest(c.entries, &why).value(), &why));
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
}

} // namespace
