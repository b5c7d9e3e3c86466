#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "platform/foundation/URL.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::URL;

URL fileURL(const char* path, bool directory) {
    auto url = URL::fileURLWithPath(path, directory);
    EXPECT_TRUE(url) << path;
    return url.value_or(*URL::fileURLWithPath("/", true));
}

TEST(FileURL, PathsAndComponents) {
    // path, directory, absolute string, path, last component, components, extension
    const std::tuple<const char*, bool, const char*, const char*, const char*, std::vector<std::string>, const char*>
        cases[] = {
        {"/", true, "file:///", "/", "/", {"/"}, ""},
        {"/a/b.tar.gz", false, "file:///a/b.tar.gz", "/a/b.tar.gz", "b.tar.gz", {"/", "a", "b.tar.gz"}, "gz"},
        {"/a/b", true, "file:///a/b/", "/a/b", "b", {"/", "a", "b"}, ""},
        {"/a/b/", false, "file:///a/b/", "/a/b", "b", {"/", "a", "b"}, ""},
        {"/a b/c%d?e#f\x01", false, "file:///a%20b/c%25d%3Fe%23f%01", "/a b/c%d?e#f\x01", "c%d?e#f\x01",
         {"/", "a b", "c%d?e#f\x01"}, ""},
        {"/caf\xC3\xA9", false, "file:///caf%C3%A9", "/caf\xC3\xA9", "caf\xC3\xA9", {"/", "caf\xC3\xA9"}, ""},
        {"/.hidden", false, "file:///.hidden", "/.hidden", ".hidden", {"/", ".hidden"}, ""},
    };
    for (const auto& [path, directory, string, urlPath, last, components, extension] : cases) {
        const URL url = fileURL(path, directory);
        EXPECT_EQ(std::tuple(url.absoluteString(), url.isFileURL(), url.path(), url.lastPathComponent(),
                             url.pathComponents(), url.pathExtension()),
                  std::tuple(string, true, urlPath, last, components, extension));
        // The string form parses back to the same URL.
        EXPECT_EQ(URL::URLWithString(url.absoluteString()), std::optional<URL>(url)) << path;
    }
    EXPECT_FALSE(URL::fileURLWithPath("", false));
}

TEST(FileURL, DirectoryIsAskedOfTheFileSystemWithoutFollowingLinks) {
    vt::TempDir dir;
    vt::writeFile(dir / "file", "x");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((dir / "sub").c_str(), (dir / "link").c_str()), 0);
    for (const auto& [leaf, directory] : {std::pair{"sub", true}, {"file", false}, {"link", false}, {"missing", false},
                                          {"missing/", true}})
        EXPECT_EQ(URL::fileURLWithPath(dir / leaf)->hasDirectoryPath(), directory) << leaf;
    // A relative path is taken from the current directory.
    EXPECT_EQ(fileURL("rel/x", false).path(), (std::filesystem::current_path() / "rel/x").string());
}

TEST(FileURL, Standardisation) {
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"/a/./b", false, "file:///a/b"}, {"/a//b///c", false, "file:///a/b/c"}, {"/a/b/../c", false, "file:///a/c"},
        {"/a/b/..", true, "file:///a/"}, {"/..", false, "file:///"}, {"/../../x", false, "file:///x"},
        {"/a/../..", true, "file:///"}, {"/a/b/./../../c/", true, "file:///c/"}, {"/a b/./c", false, "file:///a%20b/c"},
        {"/a/...", false, "file:///a/..."}, {"/a/..b/c", false, "file:///a/..b/c"},
    };
    for (const auto& [path, directory, standard] : cases)
        EXPECT_EQ(fileURL(path, directory).URLByStandardizingPath().absoluteString(), standard) << path;

    const std::pair<const char*, const char*> paths[] = {
        {"", ""}, {"/", "/"}, {"a/./b/", "a/b"}, {"../a", "../a"}, {"a/../..", ".."}, {"./", "."}, {"//x//", "/x"},
        {"/x/y/../../..", "/"}};
    for (const auto& [path, standard] : paths) EXPECT_EQ(pf::standardizePath(path), standard) << path;
}

TEST(FileURL, AppendingAndDeleting) {
    EXPECT_EQ(fileURL("/a", true).URLByAppendingPathComponent("b c", false).absoluteString(), "file:///a/b%20c");
    EXPECT_EQ(fileURL("/a", true).URLByAppendingPathComponent("d", true).absoluteString(), "file:///a/d/");
    EXPECT_EQ(fileURL("/a", false).URLByAppendingPathComponent("e", false).absoluteString(), "file:///a/e");
    EXPECT_EQ(fileURL("/a/b/c", false).URLByDeletingLastPathComponent().absoluteString(), "file:///a/b/");
    EXPECT_EQ(fileURL("/", true).URLByDeletingLastPathComponent().absoluteString(), "file:///");
}

TEST(URLString, ParsingAndResolution) {
    const char* invalid[] = {"", "no scheme", "/a path", "file:///a b", "http://x/%zz", "http://x/%4", "x:a%", "a#b#c",
                             "file:///\xC3\xA9", "1http://x", "1a:b/c"};
    for (const char* s : invalid) EXPECT_FALSE(URL::URLWithString(s)) << s;
    // References without a scheme are URLs too, with the path they spell; a scheme keeps its case.
    for (const auto& [reference, path] : {std::pair{"/srv/target", "/srv/target"}, {"/srv/target/", "/srv/target"},
                                          {"srv/a%20b", "srv/a b"}, {"//host/p", "/p"}, {"./x:y", "./x:y"},
                                          {"HTTP://host/p?q#f", "/p"}}) {
        auto url = URL::URLWithString(reference);
        ASSERT_TRUE(url) << reference;
        EXPECT_EQ(std::tuple(url->path(), url->isFileURL(), url->absoluteString()), std::tuple(path, false, reference));
    }
    EXPECT_EQ(URL::URLWithString("HTTP://host/p?q#f")->scheme(), "HTTP");
    EXPECT_TRUE(URL::URLWithString("FILE:///x")->isFileURL());
    EXPECT_EQ(URL::URLWithString("file:///a%2Fb%00c")->path(), "/a%2Fb%00c"); // a NUL keeps the escaped form

    // RFC 3986's own examples, against its base.
    const URL base = *URL::URLWithString("http://a/b/c/d;p?q");
    const std::pair<const char*, const char*> cases[] = {
        {"g", "http://a/b/c/g"},       {"g/", "http://a/b/c/g/"},         {"/g", "http://a/g"},
        {"//g", "http://g"},           {"?y", "http://a/b/c/d;p?y"},      {"#s", "http://a/b/c/d;p?q#s"},
        {"", "http://a/b/c/d;p?q"},    {".", "http://a/b/c/"},            {"..", "http://a/b/"},
        {"../g", "http://a/b/g"},      {"../../../g", "http://a/g"},      {"/./g", "http://a/g"},
        {"g.", "http://a/b/c/g."},     {"..g", "http://a/b/c/..g"},       {"./g/.", "http://a/b/c/g/"},
        {"g/../h", "http://a/b/c/h"},  {"g;x=1/../y", "http://a/b/c/y"},  {"g:h", "g:h"},
    };
    const URL none = fileURL("/", true);
    for (const auto& [reference, resolved] : cases)
        EXPECT_EQ(URL::URLWithString(reference, base).value_or(none).absoluteString(), resolved) << reference;
    EXPECT_EQ(URL::URLWithString("Contents/Info.plist", fileURL("/x/Foo.app", true))->path(),
              "/x/Foo.app/Contents/Info.plist");
    EXPECT_FALSE(URL::URLWithString("a b", base));
}

} // namespace
