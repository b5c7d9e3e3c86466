// Installing and uninstalling real signed bundles under a private install root.
#include <grp.h>
#include <sys/mount.h>
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

std::string userInfo(const pf::Error& error, const std::string& key) {
    auto it = error.userInfo().find(key);
    return it == error.userInfo().end() ? "" : it->second.string();
}

class Install : public InstallerTest {};

TEST_F(Install, EveryItemGetsItsContentOwnerGroupAndMode) {
    vt::writeFile(inRoot("/srv/file"), "kept", 0600);
    const std::string bundle = makeBundle(
        "App.app",
        {{"Contents/Resources/tool", "#!/bin/sh\n", 0755},
         {"Contents/Resources/readme.txt", "read me"},
         {"Contents/Resources/Data/a.txt", "a"},
         {"Contents/Resources/Data/sub/b.txt", "b", 0600}},
        bom({vt::bomEntry("", "/opt/App", "755"), vt::bomEntry("", "/opt/App/bin", "755"),
             vt::bomEntry("Contents/Resources/tool", "/opt/App/bin/tool", "4750", "root", "daemon"),
             vt::bomEntry("Contents/Resources/Data", "/opt/App/Data", "0700", "nobody", "nogroup"),
             vt::bomEntry("", "", "755"), vt::bomEntry("Contents/Resources/readme.txt", "", "0640", "", "", false),
             // Directory entries leave what exists alone; those made keep the
             // default owner: the BOM's applies to copies only.
             vt::bomEntry("", "/srv/file", "755", "nobody"), vt::bomEntry("", "/srv/new/deep", "700", "nobody")},
            {vt::bomRemoval("/opt/App")}, {{"DefaultLocation", "/opt/App/doc"}}),
        {{"Contents/Resources/Data/latest", "a.txt"}});
    auto installer = installerFor(bundle);
    ASSERT_TRUE(installer);
    // A target that exists is replaced as a whole, stray content included.
    vt::writeFile(inRoot("/opt/App/Data/stray"), "old");

    ASSERT_EQ(installer->install(), std::nullopt);

    const gid_t nogroup = groupNamed("nogroup");
    const struct {
        const char* path;
        const char* content; // nullptr: not a regular file
        Owner owner;
    } expected[] = {
        {"/opt/App/bin/tool", "#!/bin/sh\n", {0, groupNamed("daemon"), 04750}},
        {"/opt/App/Data", nullptr, {kNobody, nogroup, 0700}},
        // Inside a copied folder: the BOM's owner, the bundle's modes.
        {"/opt/App/Data/a.txt", "a", {kNobody, nogroup, 0644}},
        {"/opt/App/Data/sub", nullptr, {kNobody, nogroup, 0755}},
        {"/opt/App/Data/sub/b.txt", "b", {kNobody, nogroup, 0600}},
        {"/opt/App/doc/readme.txt", "read me", {0, 0, 0640}},
        {"/srv/file", "kept", {0, 0, 0600}},
        {"/srv/new/deep", nullptr, {0, 0, ownerOf(inRoot("/srv/new/deep")).value_or(Owner{}).mode}},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.path);
        EXPECT_EQ(ownerOf(inRoot(e.path)), e.owner);
        EXPECT_EQ(e.content ? vt::readFile(inRoot(e.path)) : "", e.content ? e.content : "");
    }
    // The link is re-owned itself and still points where it did.
    EXPECT_EQ(fs::read_symlink(inRoot("/opt/App/Data/latest")), "a.txt");
    EXPECT_EQ(ownerOf(inRoot("/opt/App/Data/latest"))->uid, kNobody);
    EXPECT_FALSE(fs::exists(inRoot("/opt/App/Data/stray")));
    EXPECT_EQ(stagedLeftovers(root()), std::vector<std::string>{});

    // Installing again over the result, and uninstalling, complete once each
    // on the main thread.
    int calls = 0;
    std::optional<pf::Error> result = pf::Error("unset", 0);
    auto done = [&](std::optional<pf::Error> error) {
        result = error;
        calls += pf::dispatch::isMainThread() ? 1 : 100;
    };
    installer->install(done);
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return calls > 0; }));
    EXPECT_EQ(result, std::nullopt);
    EXPECT_EQ(ownerOf(inRoot("/opt/App/bin/tool"))->mode, 04750u);
    installer->uninstall(done);
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return calls > 1; }));
    EXPECT_EQ(result, std::nullopt);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(fs::exists(inRoot("/opt/App")));
    // Without a completion the install happens all the same, up to its last entry.
    fs::remove_all(inRoot("/srv"));
    installer->install(nullptr);
    EXPECT_TRUE(vt::runMainLoopUntil([&] { return fs::exists(inRoot("/srv/new/deep")); }));
}

// The failing resource stops the install: the one before stays installed,
// the one after is not touched, and the error names what failed.
TEST_F(Install, AFailureHalfWayStopsThere) {
    const std::string outside = scratch("outside.txt");
    const struct {
        const char* name;
        pf::Value failing;
        const char* domain;
        int code;
        std::string key, value; // a user info entry the error starts with
    } cases[] = {
        {"parent missing", vt::bomEntry("Contents/Resources/f", "/missing/f", "644"), pf::NSCocoaErrorDomain,
         pf::NSFileNoSuchFileError, pf::NSFilePathErrorKey, inRoot("/missing/f")},
        {"no target", vt::bomEntry("Contents/Resources/f", "", "644"), pf::NSPOSIXErrorDomain, EDESTADDRREQ,
         pf::NSURLErrorFailingURLStringErrorKey, "file://"},
        {"source gone at parse time", vt::bomEntry(outside, "/o", "644", "", "", false), pf::NSPOSIXErrorDomain, EPERM,
         pf::NSURLErrorFailingURLStringErrorKey, "file://" + outside},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearRoot();
        const std::string bundle =
            makeBundle(std::string(c.name) + ".app", {{"Contents/Resources/f", "f"}},
                       bom({vt::bomEntry("Contents/Resources/f", "/first", "644"), c.failing,
                            vt::bomEntry("Contents/Resources/f", "/last", "644")},
                           {}));
        auto error = installerFor(bundle)->install();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), c.domain);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(userInfo(*error, c.key).rfind(c.value, 0), 0u) << userInfo(*error, c.key);
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
    ASSERT_EQ(installerFor(bundle)->install(), std::nullopt);
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
    // A read-only tmpfs of its own, where mounting is allowed.
    fs::create_directories(inRoot("/ro"));
    const bool readOnly = ::mount("vicar-test", inRoot("/ro").c_str(), "tmpfs", 0, "size=1m") == 0;
    const std::shared_ptr<void> unmount(nullptr, [&](void*) {
        if (readOnly) ::umount2(inRoot("/ro").c_str(), MNT_DETACH);
    });
    if (readOnly) {
        vt::writeFile(inRoot("/ro/locked"), "l");
        EXPECT_EQ(::mount("vicar-test", inRoot("/ro").c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    }
    vt::writeFile(inRoot("/after"), "a");
    pf::Array removals = {vt::bomRemoval("/x/link"), vt::bomRemoval("/x/dirlink/target-of-link"), vt::bomRemoval("/x/dirlink"),
                          vt::bomRemoval("/x/missing"),  vt::bomRemoval("/x/tree"),  vt::bomRemoval("/x/ignored", true)};
    if (readOnly) removals.push_back(vt::bomRemoval("/ro/locked"));
    removals.push_back(vt::bomRemoval("/after"));
    auto built = VDInstallBOM::BOMWithDictionary(bom({}, removals), *pf::URL::fileURLWithPath(scratch(""), true));
    ASSERT_TRUE(built);
    auto installer = installerFor(makeBundle("Remove.app", {}, bom({}, {})));

    auto forced = installer->uninstallUsingBOM(*built, true);
    EXPECT_TRUE(fs::exists(inRoot("/x/ignored")));
    auto plain = installer->uninstallUsingBOM(*built, false);
    EXPECT_FALSE(fs::exists(inRoot("/x/ignored")));
    for (const char* gone : {"/x/link", "/x/dirlink", "/x/tree"})
        EXPECT_EQ(fs::symlink_status(inRoot(gone)).type(), fs::file_type::not_found) << gone;
    // "/x/dirlink/target-of-link" resolves inside the root, never through the link to the outside.
    EXPECT_EQ(vt::readFile(scratch("target-of-link")), "stays");
    if (readOnly) {
        ASSERT_TRUE(plain);
        EXPECT_EQ(plain->code(), pf::NSFileWriteVolumeReadOnlyError);
        EXPECT_EQ(userInfo(*plain, pf::NSFilePathErrorKey), inRoot("/ro/locked"));
        EXPECT_TRUE(fs::exists(inRoot("/after")));
    } else {
        EXPECT_EQ(plain, std::nullopt);
        EXPECT_EQ(forced, std::nullopt);
    }
}

TEST_F(Install, WithoutARootDestinationsStayAsTheyAre) {
    auto installer = installerFor(makeBundle("Paths.app", {}, bom({}, {})), false);
    const auto foo = *pf::URL::fileURLWithPath("/Library/Foo", false);
    EXPECT_EQ(installer->installPathForURL(foo), foo);
}

} // namespace
} // namespace vti
