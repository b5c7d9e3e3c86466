// Installing and uninstalling real signed bundles under a private install root.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "installer/VDInstallBOM.h"
#include "platform/dispatch/Queue.h"
#include "tests/installer/InstallerFixture.h"

namespace vti {
namespace {

namespace fs = std::filesystem;

const uid_t kNobody = 65534;

gid_t groupNamed(const char* name) {
    const group* g = ::getgrnam(name);
    return g ? g->gr_gid : static_cast<gid_t>(99);
}

std::string failingURL(const pf::Error& error) {
    auto it = error.userInfo().find(pf::NSURLErrorFailingURLStringErrorKey);
    return it == error.userInfo().end() ? "" : it->second.string();
}

std::string failingPath(const pf::Error& error) {
    auto it = error.userInfo().find(pf::NSFilePathErrorKey);
    return it == error.userInfo().end() ? "" : it->second.string();
}

class Install : public InstallerTest {};

TEST_F(Install, EveryItemGetsItsContentOwnerGroupAndMode) {
    const gid_t daemonGroup = groupNamed("daemon");
    const std::string bundle = makeBundle(
        "App.app",
        {{"Contents/Resources/tool", "#!/bin/sh\n", 0755},
         {"Contents/Resources/readme.txt", "read me"},
         {"Contents/Resources/Data/a.txt", "a"},
         {"Contents/Resources/Data/sub/b.txt", "b", 0600}},
        bom({vt::bomEntry("", "/opt/App", "755"), vt::bomEntry("", "/opt/App/bin", "755"),
             vt::bomEntry("Contents/Resources/tool", "/opt/App/bin/tool", "4750", "root", "daemon"),
             vt::bomEntry("Contents/Resources/Data", "/opt/App/Data", "0700", "nobody", "nogroup"),
             vt::bomEntry("", "", "755"), vt::bomEntry("Contents/Resources/readme.txt", "", "0640", "", "", false)},
            {vt::bomRemoval("/opt/App")}, {{"DefaultLocation", "/opt/App/doc"}}),
        {{"Contents/Resources/Data/latest", "a.txt"}});
    auto installer = installerFor(bundle);
    ASSERT_TRUE(installer);
    // A target that exists is replaced as a whole, stray content included.
    vt::writeFile(inRoot("/opt/App/Data/stray"), "old");

    ASSERT_EQ(installer->install(), std::nullopt);

    const gid_t nogroup = groupNamed("nogroup");
    struct Expect {
        const char* path;
        const char* content; // nullptr: not a regular file
        Owner owner;
    };
    const Expect expected[] = {
        {"/opt/App/bin/tool", "#!/bin/sh\n", {0, daemonGroup, 04750}},
        {"/opt/App/Data", nullptr, {kNobody, nogroup, 0700}},
        // Inside a copied folder: the BOM's owner, the bundle's modes.
        {"/opt/App/Data/a.txt", "a", {kNobody, nogroup, 0644}},
        {"/opt/App/Data/sub", nullptr, {kNobody, nogroup, 0755}},
        {"/opt/App/Data/sub/b.txt", "b", {kNobody, nogroup, 0600}},
        {"/opt/App/doc/readme.txt", "read me", {0, 0, 0640}},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.path);
        auto owner = ownerOf(inRoot(e.path));
        ASSERT_TRUE(owner);
        EXPECT_EQ(owner->uid, e.owner.uid);
        EXPECT_EQ(owner->gid, e.owner.gid);
        EXPECT_EQ(owner->mode, e.owner.mode);
        if (e.content) {
            EXPECT_EQ(vt::readFile(inRoot(e.path)), e.content);
        }
    }
    // The link is re-owned itself and still points where it did.
    EXPECT_EQ(fs::read_symlink(inRoot("/opt/App/Data/latest")), "a.txt");
    EXPECT_EQ(ownerOf(inRoot("/opt/App/Data/latest"))->uid, kNobody);
    EXPECT_FALSE(fs::exists(inRoot("/opt/App/Data/stray")));
    EXPECT_TRUE(fs::is_directory(inRoot("/opt/App/doc")));
    EXPECT_EQ(stagedLeftovers(root()), std::vector<std::string>{});

    // Installing again over the result works the same; uninstalling removes it.
    EXPECT_EQ(installer->install(), std::nullopt);
    std::optional<pf::Error> result = pf::Error("unset", 0);
    bool onMain = false;
    installer->uninstall([&](std::optional<pf::Error> error) {
        result = error;
        onMain = pf::dispatch::isMainThread();
    });
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return !result || result->domain() != "unset"; }));
    EXPECT_EQ(result, std::nullopt);
    EXPECT_TRUE(onMain);
    EXPECT_FALSE(fs::exists(inRoot("/opt/App")));
}

TEST_F(Install, DirectoryEntriesLeaveWhatExistsAlone) {
    vt::writeFile(inRoot("/srv/file"), "kept", 0600);
    fs::create_directories(inRoot("/srv/dir"));
    const std::string bundle =
        makeBundle("Dirs.app", {}, bom({vt::bomEntry("", "/srv/file", "755", "nobody"), vt::bomEntry("", "/srv/dir", "700", "nobody"),
                                        vt::bomEntry("", "/srv/new/deep", "700", "nobody")},
                                       {}));
    ASSERT_EQ(installerFor(bundle)->install(), std::nullopt);
    EXPECT_EQ(vt::readFile(inRoot("/srv/file")), "kept");
    EXPECT_EQ(ownerOf(inRoot("/srv/file"))->mode, 0600u);
    // Directories made here keep the default owner: the BOM's applies to copies only.
    EXPECT_EQ(ownerOf(inRoot("/srv/dir"))->uid, 0u);
    EXPECT_EQ(ownerOf(inRoot("/srv/new/deep"))->uid, 0u);
}

TEST_F(Install, AsynchronousInstallCompletesOnceOnTheMainThread) {
    const std::string bundle = makeBundle("Async.app", {{"Contents/Resources/f", "f"}},
                                          bom({vt::bomEntry("Contents/Resources/f", "/f", "644")}, {}));
    auto installer = installerFor(bundle);
    int calls = 0;
    bool onMain = false;
    installer->install([&](std::optional<pf::Error> error) {
        EXPECT_EQ(error, std::nullopt);
        ++calls;
        onMain = pf::dispatch::isMainThread();
    });
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return calls > 0; }));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(vt::readFile(inRoot("/f")), "f");
    // Without a completion the install happens all the same.
    fs::remove(inRoot("/f"));
    installer->install(nullptr);
    EXPECT_TRUE(vt::runMainLoopUntil([&] { return fs::exists(inRoot("/f")); }));
    EXPECT_EQ(calls, 1);
}

// The failing resource stops the install: the one before stays installed,
// the one after is not touched, and the error names what failed.
TEST_F(Install, AFailureHalfWayStopsThere) {
    struct Case {
        const char* name;
        pf::Value failing;
        const char* domain;
        int code;
        std::string url;  // expected failing URL (empty: not checked)
        std::string path; // expected NSFilePath (empty: not checked)
    };
    const std::string outside = scratch("outside.txt");
    const Case cases[] = {
        {"parent missing", vt::bomEntry("Contents/Resources/f", "/missing/f", "644"), pf::NSCocoaErrorDomain,
         pf::NSFileNoSuchFileError, "", inRoot("/missing/f")},
        {"no target", vt::bomEntry("Contents/Resources/f", "", "644"), pf::NSPOSIXErrorDomain, EDESTADDRREQ, "file://", ""},
        {"source gone at parse time", vt::bomEntry(outside, "/o", "644", "", "", false), pf::NSPOSIXErrorDomain, EPERM,
         "file://" + outside, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root());
        fs::create_directories(root());
        const std::string bundle =
            makeBundle(std::string(c.name) + ".app", {{"Contents/Resources/f", "f"}},
                       bom({vt::bomEntry("Contents/Resources/f", "/first", "644"), c.failing,
                            vt::bomEntry("Contents/Resources/f", "/last", "644")},
                           {}));
        auto error = installerFor(bundle)->install();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), c.domain);
        EXPECT_EQ(error->code(), c.code);
        if (!c.url.empty()) {
            EXPECT_EQ(failingURL(*error).rfind(c.url, 0), 0u) << failingURL(*error);
        }
        if (!c.path.empty()) {
            EXPECT_EQ(failingPath(*error), c.path);
        }
        EXPECT_EQ(vt::readFile(inRoot("/first")), "f");
        EXPECT_FALSE(fs::exists(inRoot("/last")));
        // Nothing was made for a resource without a target, the root included.
        EXPECT_FALSE(fs::exists(inRoot("/f")));
    }
}

TEST_F(Install, ForcedCleanSparesIgnoreForcedEntries) {
    vt::writeFile(inRoot("/old/file"), "old");
    vt::writeFile(inRoot("/keep/file"), "keep");
    const std::string bundle = makeBundle(
        "Clean.app", {{"Contents/Resources/f", "f"}},
        bom({vt::bomEntry("Contents/Resources/f", "/new", "644")}, {vt::bomRemoval("/old"), vt::bomRemoval("/keep", true)},
            {{"ForceClean", true}}));
    auto installer = installerFor(bundle);
    ASSERT_EQ(installer->install(), std::nullopt);
    EXPECT_FALSE(fs::exists(inRoot("/old")));
    EXPECT_EQ(vt::readFile(inRoot("/keep/file")), "keep");
    EXPECT_EQ(vt::readFile(inRoot("/new")), "f");
}

TEST_F(Install, RemovalPassNeverFollowsLinksAndStopsAtARealFailure) {
    vt::writeFile(scratch("target-of-link"), "stays");
    fs::create_directories(inRoot("/x"));
    fs::create_symlink(scratch("target-of-link"), inRoot("/x/link"));
    fs::create_symlink(scratch(""), inRoot("/x/dirlink"));
    vt::writeFile(inRoot("/x/tree/a/b"), "b");
    vt::writeFile(inRoot("/x/ignored"), "i");
    TmpfsMount readOnly(inRoot("/ro"));
    if (readOnly.mounted()) {
        vt::writeFile(inRoot("/ro/locked"), "l");
        ASSERT_TRUE(readOnly.remountReadOnly());
    }
    vt::writeFile(inRoot("/after"), "a");
    pf::Array removals = {vt::bomRemoval("/x/link"), vt::bomRemoval("/x/dirlink/target-of-link"), vt::bomRemoval("/x/dirlink"),
                          vt::bomRemoval("/x/missing"),  vt::bomRemoval("/x/tree"),  vt::bomRemoval("/x/ignored", true)};
    if (readOnly.mounted()) removals.push_back(vt::bomRemoval("/ro/locked"));
    removals.push_back(vt::bomRemoval("/after"));
    auto built = VDInstallBOM::BOMWithDictionary(bom({}, removals), *pf::URL::fileURLWithPath(scratch(""), true));
    ASSERT_TRUE(built);
    const std::string bundle = makeBundle("Remove.app", {}, bom({}, {}));
    auto installer = installerFor(bundle);

    auto forced = installer->uninstallUsingBOM(*built, true);
    EXPECT_TRUE(fs::exists(inRoot("/x/ignored")));
    auto plain = installer->uninstallUsingBOM(*built, false);
    EXPECT_FALSE(fs::exists(inRoot("/x/ignored")));
    for (const char* gone : {"/x/link", "/x/dirlink", "/x/tree"})
        EXPECT_EQ(fs::symlink_status(inRoot(gone)).type(), fs::file_type::not_found) << gone;
    // "/x/dirlink/target-of-link" resolves inside the root, never through the link to the outside.
    EXPECT_EQ(vt::readFile(scratch("target-of-link")), "stays");
    if (readOnly.mounted()) {
        ASSERT_TRUE(plain);
        EXPECT_EQ(plain->code(), pf::NSFileWriteVolumeReadOnlyError);
        EXPECT_EQ(failingPath(*plain), inRoot("/ro/locked"));
        EXPECT_TRUE(fs::exists(inRoot("/after")));
    } else {
        EXPECT_EQ(plain, std::nullopt);
        EXPECT_EQ(forced, std::nullopt);
    }
}

TEST_F(Install, InstallPathForURLPutsDestinationsUnderTheRoot) {
    const std::string bundle = makeBundle("Paths.app", {}, bom({}, {}));
    auto installer = installerFor(bundle, false);
    const auto foo = *pf::URL::fileURLWithPath("/Library/Foo", false);
    EXPECT_EQ(installer->installPathForURL(foo), foo);
    installer->setInstallRoot(pf::URL::fileURLWithPath("/Volumes/Target", true));
    EXPECT_EQ(installer->installPathForURL(foo).path(), "/Volumes/Target/Library/Foo");
}

} // namespace
} // namespace vti
