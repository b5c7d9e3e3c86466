// Base64 data, URL bookmarks and path components, and the weak object reference.
#include "foundation_ext/DataExtensions.h"
#include "foundation_ext/URLExtensions.h"
#include "foundation_ext/VDWeakObjectReference.h"

#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "platform/foundation/Exception.h"
#include "tests/support/TestSupport.h"

namespace {

pf::Data bytes(std::string_view text) { return pf::Data(text.begin(), text.end()); }
pf::URL url(const std::string& s) { return *pf::URL::URLWithString(s); }

TEST(DataExtensions, Base64RoundTripsAndEdges) {
    const struct {
        const char* text;
        std::optional<pf::Data> data;
    } decodes[] = {
        {"", pf::Data{}},
        {"Zm9vYmFy", bytes("foobar")},
        {"Zm9vYg==", bytes("foob")},
        {"Zm9v\r\nYmE=", bytes("fooba")},
        {"Zm9", std::nullopt},
        {"Zg=a", std::nullopt},
        {"***", pf::Data{}},
    };
    for (const auto& c : decodes) EXPECT_EQ(dataWithBase64EncodedString(c.text), c.data) << c.text;
    EXPECT_THROW(dataWithBase64EncodedString(std::nullopt), pf::Exception);

    EXPECT_EQ(base64EncodedString({}), "");
    EXPECT_EQ(base64EncodedString(bytes("fooba")), "Zm9vYmE=");
    pf::Data large(5u << 20);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(dataWithBase64EncodedString(base64EncodedString(large)), large);
}

TEST(URLExtensions, BookmarksFindMovedItemsAndFailWithLogLines) {
    vt::TempDir dir;
    vt::writeFile(dir / "item", "item");
    const pf::URL item = *pf::URL::fileURLWithPath(dir / "item");
    const auto bookmark = persistentAccessReadOnlyBookmark(item);
    ASSERT_TRUE(bookmark);
    EXPECT_EQ(URLWithPersistentAccessBookmark(bookmark, nullptr), item);

    vt::LogCapture log;
    EXPECT_EQ(URLWithPersistentAccessBookmark(std::nullopt, nullptr), std::nullopt);
    EXPECT_EQ(URLWithPersistentAccessBookmark(pf::Data{'x'}, nullptr), std::nullopt);
    EXPECT_EQ(persistentAccessBookmark(*pf::URL::fileURLWithPath(dir / "none", false)), std::nullopt);
    EXPECT_TRUE(log.contains("failed to resolve security-scoped bookmark: "));
    EXPECT_TRUE(log.contains("failed to create security-scoped bookmark to file://" + dir / "none: "));

    ASSERT_EQ(std::rename((dir / "item").c_str(), (dir / "moved").c_str()), 0);
    if (::geteuid() != 0) GTEST_SKIP() << "opening by file handle needs CAP_DAC_READ_SEARCH";
    EXPECT_EQ(URLWithPersistentAccessBookmark(bookmark, nullptr), pf::URL::fileURLWithPath(dir / "moved"));
}

TEST(URLExtensions, AppendsComponentsInOrder) {
    const pf::URL base = url("file:///a/");
    EXPECT_EQ(URLByAppendingPathComponents(base, {}), base);
    EXPECT_EQ(URLByAppendingPathComponents(base, {"b", "c d"}).path(), "/a/b/c d");
}

TEST(WeakObjectReference, KeepsItsHashAfterItsObjectIsGone) {
    auto object = std::make_shared<pf::URL>(url("file:///a"));
    auto twin = std::make_shared<pf::URL>(url("file:///a"));
    VDWeakObjectReference reference(object), ofTwin(twin);
    const std::size_t hash = reference.hash();
    EXPECT_TRUE(reference.isEqual(ofTwin)); // equal objects, not identical ones
    EXPECT_FALSE(reference.isEqual(*object));

    object.reset();
    EXPECT_EQ(reference.hash(), hash);
    EXPECT_FALSE(reference.isEqual(reference));
    EXPECT_FALSE(ofTwin.isEqual(reference));
}

} // namespace
