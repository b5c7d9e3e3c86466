#include <gtest/gtest.h>

#include <string>

#include "platform/codesign/SealablePath.h"

namespace {

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
    for (const Case& c : cases) EXPECT_EQ(pf::codesign::isSealablePath(c.path), c.sealable) << c.path;

    EXPECT_TRUE(pf::codesign::isValidKeyName("packager-2.prod_key"));
    for (const char* bad : {"", "a/b", "a b", "k\n", "ké"}) EXPECT_FALSE(pf::codesign::isValidKeyName(bad)) << bad;
}

} // namespace
