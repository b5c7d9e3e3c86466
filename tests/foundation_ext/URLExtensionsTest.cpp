#include "foundation_ext/URLExtensions.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

pf::URL url(const std::string& s) { return *pf::URL::URLWithString(s); }

TEST(URLExtensions, ReachabilityWithoutSendingAPacket) {
    for (const char* reachable : {"http://127.0.0.1/", "http://localhost:8080/x", "https://user@LOCALHOST/"})
        EXPECT_TRUE(connectionPossible(url(reachable))) << reachable;
    // No host: the interaction flag is the answer.
    EXPECT_TRUE(connectionPossibleWithInteraction(url("file:///tmp/x"), true));
    EXPECT_FALSE(connectionPossibleWithInteraction(url("file:///tmp/x"), false));
    // Routes differ between machines; the answer only has to come.
    (void)connectionPossible(url("http://192.0.2.1/"));
    (void)connectionPossible(url("http://[::1]:80/"));

    vt::Event answered;
    bool answer = false;
    connectionPossibleWithHandler(url("http://127.0.0.1/"), [&](bool possible) {
        answer = possible;
        answered.signal();
    });
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return answered.isSet(); }));
    EXPECT_TRUE(answer);
}

TEST(URLExtensions, BookmarksFindMovedItemsAndFailWithLogLines) {
    vt::TempDir dir;
    vt::writeFile(dir / "doc", "document");
    vt::writeFile(dir / "item", "item");
    const pf::URL item = *pf::URL::fileURLWithPath(dir / "item");
    const pf::URL document = *pf::URL::fileURLWithPath(dir / "doc");

    const auto plain = persistentAccessBookmark(item);
    const auto readOnly = persistentAccessReadOnlyBookmark(item);
    const auto relative = persistentAccessBookmarkContainedInDocument(item, document);
    ASSERT_TRUE(plain && readOnly && relative);
    EXPECT_EQ(URLWithPersistentAccessBookmark(plain, nullptr), item);
    EXPECT_EQ(URLWithPersistentAccessBookmark(relative, &document), item);

    ASSERT_EQ(std::rename((dir / "item").c_str(), (dir / "moved").c_str()), 0);
    if (::geteuid() == 0) { // opening by file handle needs CAP_DAC_READ_SEARCH
        EXPECT_EQ(URLWithPersistentAccessBookmark(readOnly, nullptr), pf::URL::fileURLWithPath(dir / "moved"));
    }

    vt::LogCapture log;
    EXPECT_EQ(URLWithPersistentAccessBookmark(std::nullopt, nullptr), std::nullopt);
    EXPECT_EQ(URLWithPersistentAccessBookmark(pf::Data{'x'}, nullptr), std::nullopt);
    EXPECT_EQ(URLWithPersistentAccessBookmark(relative, nullptr), std::nullopt);
    EXPECT_EQ(persistentAccessBookmark(*pf::URL::fileURLWithPath(dir / "none", false)), std::nullopt);
    EXPECT_TRUE(log.contains("failed to resolve security-scoped bookmark: "));
    EXPECT_TRUE(log.contains("failed to create security-scoped bookmark to file://" + dir / "none: "));
}

TEST(URLExtensions, AppendsComponentsInOrder) {
    const pf::URL base = url("file:///a/");
    EXPECT_EQ(URLByAppendingPathComponents(base, {}), base);
    EXPECT_EQ(URLByAppendingPathComponents(base, {"b", "c d"}).path(), "/a/b/c d");
}

} // namespace
