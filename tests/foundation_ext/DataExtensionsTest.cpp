#include "foundation_ext/DataExtensions.h"

#include <gtest/gtest.h>

#include "platform/foundation/Exception.h"
#include "tests/support/TestSupport.h"

namespace {

pf::Data bytes(std::string_view text) { return pf::Data(text.begin(), text.end()); }

TEST(DataExtensions, Base64RoundTripsAndEdges) {
    const struct {
        const char* text;
        std::optional<pf::Data> data;
    } decodes[] = {
        {"", pf::Data{}},
        {"Zm9vYmFy", bytes("foobar")},
        {"Zm9vYg==", bytes("foob")},
        {"Zm9v\r\nYmE=", bytes("fooba")},
        {" Zm*9v ", bytes("foo")},
        {"Zm9", std::nullopt},
        {"Zg=a", std::nullopt},
        {"Z===", std::nullopt},
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

TEST(DataExtensions, DigestsFilesAndLogsFailures) {
    vt::TempDir dir;
    vt::writeFile(dir / "abc", "abc");
    const auto digest = SHA256DigestWithContentsOfURL(*pf::URL::fileURLWithPath(dir / "abc"));
    ASSERT_TRUE(digest);
    EXPECT_EQ(base64EncodedString(*digest), "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=");

    vt::LogCapture log;
    EXPECT_EQ(SHA256DigestWithContentsOfURL(*pf::URL::fileURLWithPath(dir / "none", false)), std::nullopt);
    EXPECT_TRUE(log.contains("digest failed for " + dir / "none" + ": -1 -- "));
    EXPECT_EQ(SHA256DigestWithContentsOfURL(*pf::URL::URLWithString("http://127.0.0.1/x")), std::nullopt);
}

} // namespace
