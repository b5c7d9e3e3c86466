#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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
    struct Case {
        const char* path;
        bool directory;
        const char* string;
        const char* urlPath;
        const char* last;
        std::vector<std::string> components;
        const char* extension;
    };
    const Case cases[] = {
        {"/", true, "file:///", "/", "/", {"/"}, ""},
        {"/a/b.txt", false, "file:///a/b.txt", "/a/b.txt", "b.txt", {"/", "a", "b.txt"}, "txt"},
        {"/a/b", true, "file:///a/b/", "/a/b", "b", {"/", "a", "b"}, ""},
        {"/a/b/", false, "file:///a/b/", "/a/b", "b", {"/", "a", "b"}, ""},
        {"/a b/c%d?e#f", false, "file:///a%20b/c%25d%3Fe%23f", "/a b/c%d?e#f", "c%d?e#f", {"/", "a b", "c%d?e#f"}, ""},
        {"/caf\xC3\xA9", false, "file:///caf%C3%A9", "/caf\xC3\xA9", "caf\xC3\xA9", {"/", "caf\xC3\xA9"}, ""},
        {"/.hidden", false, "file:///.hidden", "/.hidden", ".hidden", {"/", ".hidden"}, ""},
        {"/a.tar.gz", false, "file:///a.tar.gz", "/a.tar.gz", "a.tar.gz", {"/", "a.tar.gz"}, "gz"},
    };
    for (const auto& c : cases) {
        const URL url = fileURL(c.path, c.directory);
        EXPECT_EQ(std::tuple(url.absoluteString(), url.isFileURL(), url.path(), url.lastPathComponent(),
                             url.pathComponents(), url.pathExtension()),
                  std::tuple(c.string, true, c.urlPath, c.last, c.components, c.extension));
        // The string form parses back to the same URL.
        EXPECT_EQ(URL::URLWithString(url.absoluteString()), std::optional<URL>(url)) << c.path;
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
    char cwd[4096];
    ASSERT_TRUE(::getcwd(cwd, sizeof cwd));
    EXPECT_EQ(fileURL("rel/x", false).path(), std::string(cwd) + (std::string(cwd) == "/" ? "" : "/") + "rel/x");
}

TEST(FileURL, Standardisation) {
    struct Case {
        const char* path;
        bool directory;
        const char* standard;
    };
    const Case cases[] = {
        {"/a/./b", false, "file:///a/b"}, {"/a//b///c", false, "file:///a/b/c"}, {"/a/b/../c", false, "file:///a/c"},
        {"/a/b/..", true, "file:///a/"}, {"/..", false, "file:///"}, {"/../../x", false, "file:///x"},
        {"/a/../..", true, "file:///"}, {"/a/b/./../../c/", true, "file:///c/"}, {"/a b/./c", false, "file:///a%20b/c"},
        {"/a/...", false, "file:///a/..."}, {"/a/..b/c", false, "file:///a/..b/c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fileURL(c.path, c.directory).URLByStandardizingPath().absoluteString(), c.standard) << c.path;

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
    EXPECT_EQ(fileURL("/a/b/", true).URLByDeletingLastPathComponent().absoluteString(), "file:///a/");
    EXPECT_EQ(fileURL("/a", false).URLByDeletingLastPathComponent().absoluteString(), "file:///");
    EXPECT_EQ(fileURL("/", true).URLByDeletingLastPathComponent().absoluteString(), "file:///");
    EXPECT_EQ(fileURL("/a/b", false).directoryURL().absoluteString(), "file:///a/b/");
    EXPECT_EQ(fileURL("/a/b", true).directoryURL().absoluteString(), "file:///a/b/");
}

TEST(URLString, ParsingAndResolution) {
    const char* invalid[] = {"", "no scheme", "/a path", "file:///a b", "http://x/%zz", "http://x/%4", "a#b#c",
                             "file:///\xC3\xA9", "1http://x", "1a:b/c"};
    for (const char* s : invalid) EXPECT_FALSE(URL::URLWithString(s)) << s;
    // References without a scheme are URLs too, with the path they spell.
    for (const auto& [reference, path] : {std::pair{"/srv/target", "/srv/target"}, {"/srv/target/", "/srv/target"},
                                          {"srv/a%20b", "srv/a b"}, {"//host/p", "/p"}, {"./x:y", "./x:y"}}) {
        auto url = URL::URLWithString(reference);
        ASSERT_TRUE(url) << reference;
        EXPECT_EQ(url->path(), path);
        EXPECT_FALSE(url->isFileURL());
        EXPECT_EQ(url->absoluteString(), reference);
    }

    auto web = URL::URLWithString("HTTP://host/p?q#f");
    ASSERT_TRUE(web);
    EXPECT_EQ(web->scheme(), "HTTP");
    EXPECT_FALSE(web->isFileURL());
    EXPECT_EQ(web->path(), "/p");
    EXPECT_TRUE(URL::URLWithString("FILE:///x")->isFileURL());
    EXPECT_EQ(URL::URLWithString("file:///a%2Fb%00c")->path(), "/a%2Fb%00c"); // a NUL keeps the escaped form

    // RFC 3986's own examples, against its base.
    const URL base = *URL::URLWithString("http://a/b/c/d;p?q");
    const std::pair<const char*, const char*> cases[] = {
        {"g", "http://a/b/c/g"},       {"./g", "http://a/b/c/g"},       {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},          {"//g", "http://g"},             {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},   {"#s", "http://a/b/c/d;p?q#s"},  {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},        {"..", "http://a/b/"},           {"../g", "http://a/b/g"},
        {"../..", "http://a/"},        {"../../../g", "http://a/g"},    {"/./g", "http://a/g"},
        {"g.", "http://a/b/c/g."},     {"..g", "http://a/b/c/..g"},     {"./g/.", "http://a/b/c/g/"},
        {"g/../h", "http://a/b/c/h"},  {"g;x=1/../y", "http://a/b/c/y"}, {"g:h", "g:h"},
    };
    const URL none = fileURL("/", true);
    for (const auto& [reference, resolved] : cases)
        EXPECT_EQ(URL::URLWithString(reference, base).value_or(none).absoluteString(), resolved) << reference;
    EXPECT_EQ(URL::URLWithString("Contents/Info.plist", fileURL("/x/Foo.app", true))->path(),
              "/x/Foo.app/Contents/Info.plist");
    EXPECT_FALSE(URL::URLWithString("a b", base));
}

TEST(PercentEscapes, RoundTripAndMalformed) {
    const std::string raw = std::string("a b/%?#\x01\xFF\0z", 11);
    const std::string escaped = pf::addPercentEscapes(raw);
    EXPECT_EQ(escaped, "a%20b/%25%3F%23%01%FF%00z");
    EXPECT_EQ(pf::removePercentEscapes(escaped), raw);
    EXPECT_EQ(pf::removePercentEscapes("%41%6a"), "Aj");
    for (const char* bad : {"%", "%4", "%g0", "a%0"}) EXPECT_FALSE(pf::removePercentEscapes(bad)) << bad;
}

} // namespace
