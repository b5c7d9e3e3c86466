// Installing and uninstalling real signed bundles under a private install root.
#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <set>

#include "installer/VDInstallBOM.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"
#include "platform/system/UniqueFd.h"
#include "tests/installer/InstallerFixture.h"

namespace vti {
namespace {

namespace fs = std::filesystem;

const uid_t kNobody = 65534;

gid_t groupNamed(const char* name) {
    const group* g = ::getgrnam(name);
    return g ? g->gr_gid : static_cast<gid_t>(99);
}

class Install : public InstallerTest {};

TEST_F(Install, EveryItemGetsItsContentOwnerGroupAndMode) {
    vt::writeFile(inRoot("/srv/file"), "kept", 0600);
    vt::writeFile(inRoot("/old/file"), "old");
    vt::writeFile(inRoot("/keep/file"), "keep");
    const std::string other = makeBundle("Other.app", {{"Contents/Resources/lib", "lib"}}, pf::Value());
    const std::string bundle = makeBundle(
        "App.app",
        {{"Contents/Resources/tool", "#!/bin/sh\n", 0755},
         {"Contents/Resources/readme.txt", "read me"},
         {"Contents/Resources/Data/a.txt", "a"},
         {"Contents/Resources/Data/sub/b.txt", "b", 0600},
         {"Contents/Versions/A/lib", "lib"}},
        bom({vt::bomEntry("", "/opt/App", "755"), vt::bomEntry("", "/opt/App/bin", "755"),
             vt::bomEntry("Contents/Resources/tool", "/opt/App/bin/tool", "4750", "root", "daemon"),
             vt::bomEntry("Contents/Resources/Data", "/opt/App/Data", "0700", "nobody", "nogroup"),
             vt::bomEntry("", "", "755"), vt::bomEntry("Contents/Resources/readme.txt", "", "0640", "", "", false),
             // Directory entries leave what exists alone; those made keep the
             // default owner: the BOM's applies to copies only.
             vt::bomEntry("", "/srv/file", "755", "nobody"), vt::bomEntry("", "/srv/new/deep", "700", "nobody"),
             // Through the bundle's own folder link, as signed bundles are laid out.
             vt::bomEntry("Contents/Versions/Current/lib", "/opt/App/lib", "644"),
             // Checked sources of another signed bundle: an item of it, and the bundle as a whole.
             vt::bomEntry(other + "/Contents/Resources/lib", "/opt/App/other-lib", "644"),
             vt::bomEntry(other, "/opt/App/Other.app", "755")},
            // The forced clean before the install spares what ignores it.
            {vt::bomRemoval("/old"), vt::bomRemoval("/keep", true), vt::bomRemoval("/opt/App", true)},
            {{"DefaultLocation", "/opt/App/doc"}, {"ForceClean", true}}),
        {{"Contents/Resources/Data/latest", "a.txt"}, {"Contents/Versions/Current", "A"}});
    const auto foo = *pf::URL::fileURLWithPath("/Library/Foo", false);
    EXPECT_EQ(installerFor(bundle, false)->installPathForURL(foo), foo) << "without a root, destinations stay";
    auto installer = installerFor(bundle);
    ASSERT_TRUE(installer);
    // A target that exists is replaced as a whole, stray content included.
    vt::writeFile(inRoot("/opt/App/Data/stray"), "old");
    // The install, and the uninstall below, complete once each on the main thread.
    std::vector<std::string> completions;
    auto done = [&](std::optional<pf::Error> error) {
        const std::string thread = pf::dispatch::isMainThread() ? "" : " elsewhere";
        completions.push_back((error ? error->description() : "ok") + thread);
    };
    installer->install(done);
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return completions.size() == 1; }));

    const gid_t nogroup = groupNamed("nogroup");
    const struct {
        const char* path;
        const char* content; // nullptr: not a regular file
        Owner owner;
    } expected[] = {
        {"/opt/App/bin/tool", "#!/bin/sh\n", {0, groupNamed("daemon"), 04750}},
        {"/opt/App/Data", nullptr, {kNobody, nogroup, 0700}},
        // Inside a copied folder: the BOM's owner, the bundle's modes.
        {"/opt/App/Data/sub", nullptr, {kNobody, nogroup, 0755}},
        {"/opt/App/Data/sub/b.txt", "b", {kNobody, nogroup, 0600}},
        {"/opt/App/doc/readme.txt", "read me", {0, 0, 0640}},
        {"/opt/App/lib", "lib", {0, 0, 0644}},
        {"/opt/App/other-lib", "lib", {0, 0, 0644}},
        {"/opt/App/Other.app/Contents/Resources/lib", "lib", {0, 0, 0644}},
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
    EXPECT_FALSE(fs::exists(inRoot("/old")));
    EXPECT_EQ(vt::readFile(inRoot("/keep/file")), "keep");
    EXPECT_EQ(stagedLeftovers(root()), std::vector<std::string>{});

    installer->uninstall(done);
    ASSERT_TRUE(vt::runMainLoopUntil([&] { return completions.size() == 2; }));
    EXPECT_EQ(completions, (std::vector<std::string>{"ok", "ok"}));
    EXPECT_FALSE(fs::exists(inRoot("/opt/App")));
}

// The failing resource stops the install: the one before stays installed,
// the one after is not touched, and the error names what failed.
TEST_F(Install, AFailureHalfWayStopsThere) {
    const std::string outside = scratch("outside.txt");
    // A file error names the path, a POSIX error starts with the failing URL.
    const struct {
        const char* name;
        std::string from, to;
        int code;
        std::string named;
    } cases[] = {
        {"parent missing", "Contents/Resources/f", "/missing/f", pf::NSFileNoSuchFileError, inRoot("/missing/f")},
        {"no target", "Contents/Resources/f", "", EDESTADDRREQ, "file://"},
        {"source gone at parse time", outside, "/o", EPERM, "file://" + outside},
        // Folder links are followed inside the bundle only, and only as signed.
        {"link-out-of-bundle", "Contents/Up/escaped", "/o", EPERM,
         "file://" + scratch("link-out-of-bundle.app/Contents/Up/")},
        {"absolute-link", "Contents/Abs/escaped", "/o", EPERM, "file://" + scratch("absolute-link.app/Contents/Abs/")},
        {"final-link", "Contents/Resources/flink", "/o", EPERM,
         "file://" + scratch("final-link.app/Contents/Resources/flink")},
    };
    vt::writeFile(scratch("escaped"), "not signed");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearRoot();
        const std::string bundle =
            makeBundle(std::string(c.name) + ".app", {{"Contents/Resources/f", "f"}},
                       bom({vt::bomEntry("Contents/Resources/f", "/first", "644"),
                            vt::bomEntry(c.from, c.to, "644", "", "", false),
                            vt::bomEntry("Contents/Resources/f", "/last", "644")},
                           {}),
                       {{"Contents/Up", "../.."}, {"Contents/Abs", scratch("")}, {"Contents/Resources/flink", "f"}});
        auto error = installerFor(bundle)->install();
        ASSERT_TRUE(error);
        const bool fileError = c.code == pf::NSFileNoSuchFileError;
        EXPECT_EQ(error->domain(), fileError ? pf::NSCocoaErrorDomain : pf::NSPOSIXErrorDomain);
        EXPECT_EQ(error->code(), c.code);
        const std::string named =
            fileError ? error->userInfo().at(pf::NSFilePathErrorKey).string() : failingURL(*error);
        EXPECT_EQ(named.rfind(c.named, 0), 0u) << named;
        EXPECT_EQ(vt::readFile(inRoot("/first")), "f");
        EXPECT_FALSE(fs::exists(inRoot("/last")));
        // Nothing was made for a resource without a target, the root included.
        EXPECT_FALSE(fs::exists(inRoot("/f")));
    }
}

TEST_F(Install, RemovalPassNeverFollowsLinksAndStopsAtARealFailure) {
    vt::writeFile(scratch("target-of-link"), "stays");
    vt::writeFile(inRoot("/x/tree/a/b"), "b");
    vt::writeFile(inRoot("/x/ignored"), "i");
    fs::create_symlink(scratch("target-of-link"), inRoot("/x/link"));
    fs::create_symlink(scratch(""), inRoot("/x/dirlink"));
    vt::writeFile(inRoot("/after"), "a");
    // A name longer than a file system takes cannot be removed: a real failure.
    const std::string overlong = "/" + std::string(300, 'n');
    const pf::Array removals = {
        vt::bomRemoval("/x/link"), vt::bomRemoval("/x/dirlink/target-of-link"), vt::bomRemoval("/x/dirlink"),
        vt::bomRemoval("/x/missing"), vt::bomRemoval("/x/tree"), vt::bomRemoval("/x/ignored", true),
        vt::bomRemoval(overlong), vt::bomRemoval("/after")};
    auto built = VDInstallBOM::BOMWithDictionary(bom({}, removals), *pf::URL::fileURLWithPath(scratch(""), true));
    ASSERT_TRUE(built);
    auto installer = installerFor(makeBundle("Remove.app", {}, bom({}, {})));

    EXPECT_TRUE(installer->uninstallUsingBOM(*built, true)) << "it stops at the overlong name too";
    EXPECT_TRUE(fs::exists(inRoot("/x/ignored")));
    auto plain = installer->uninstallUsingBOM(*built, false);
    EXPECT_FALSE(fs::exists(inRoot("/x/ignored")));
    for (const char* gone : {"/x/link", "/x/dirlink", "/x/tree"})
        EXPECT_EQ(fs::symlink_status(inRoot(gone)).type(), fs::file_type::not_found) << gone;
    // "/x/dirlink/target-of-link" resolves inside the root, never through the link to the outside.
    EXPECT_EQ(vt::readFile(scratch("target-of-link")), "stays");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->domain(), pf::NSCocoaErrorDomain);
    EXPECT_EQ(plain->userInfo().at(pf::NSFilePathErrorKey).string(), inRoot(overlong));
    EXPECT_TRUE(fs::exists(inRoot("/after")));
}

// Installs of one bundle at once each give the result of some serial order;
// another bundle's installs into the same folder run beside them, and
// neither takes the other's staged copies for leftovers.
TEST_F(Install, ConcurrentInstallsOfOneBundleAllSucceed) {
    const std::string same = makeBundle(
        "Same.app", {{"Contents/Resources/tool", std::string(1u << 20, 't'), 0755}, {"Contents/Resources/Data/a", "a"}},
        bom({vt::bomEntry("", "/opt/Same/Made", "755"), vt::bomEntry("Contents/Resources/tool", "/opt/Same/tool", "750"),
             vt::bomEntry("Contents/Resources/Data", "/opt/Same/Data", "700", "nobody")},
            {vt::bomRemoval("/opt/Same/Data")}, {{"ForceClean", true}}));
    const std::string other = makeBundle("Other.app", {{"Contents/Resources/b", std::string(1u << 20, 'b')}},
                                         bom({vt::bomEntry("Contents/Resources/b", "/opt/Same/b", "644")}, {}));
    fs::create_directories(inRoot("/opt/Same"));
    vt::Event start; // all eight at one signal
    std::vector<std::future<std::optional<pf::Error>>> installs;
    for (int i = 0; i < 8; ++i)
        installs.push_back(
            std::async(std::launch::async, [&start, installer = installerFor(i % 4 == 3 ? other : same)] {
                start.wait();
                return installer->install();
            }));
    start.signal();
    for (auto& install : installs) EXPECT_EQ(install.get(), std::nullopt);
    EXPECT_EQ(vt::readFile(inRoot("/opt/Same/tool")), std::string(1u << 20, 't'));
    EXPECT_EQ(vt::readFile(inRoot("/opt/Same/b")), std::string(1u << 20, 'b'));
    EXPECT_EQ(ownerOf(inRoot("/opt/Same/tool")), (Owner{0, 0, 0750}));
    EXPECT_EQ(ownerOf(inRoot("/opt/Same/Data/a"))->uid, kNobody);
    EXPECT_EQ(stagedLeftovers(root()), std::vector<std::string>{});
}

// A watcher of the target folder sees every state of the staged copy: while root
// owns it, nobody may read it, so a set-uid source never shows as a set-uid root file.
TEST_F(Install, StagedFilesHaveNoPermissionsUntilTheirOwnerIsSet) {
    const std::string bundle =
        makeBundle("Setuid.app", {{"Contents/Resources/tool", std::string(3u << 20, 's'), 04755}},
                   bom({vt::bomEntry("Contents/Resources/tool", "/bin/tool", "4755", "nobody", "nogroup")}, {}));
    fs::create_directories(inRoot("/bin"));
    const pf::UniqueFd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    const uint32_t changes = IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_MOVED_TO;
    ASSERT_GE(::inotify_add_watch(watch.get(), inRoot("/bin").c_str(), changes), 0);
    auto installing =
        std::async(std::launch::async, [installer = installerFor(bundle)] { return installer->install(); });
    std::set<std::string> exposed;
    int events = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (installing.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd ready{watch.get(), POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        alignas(inotify_event) char buffer[8192];
        const ssize_t got = ::read(watch.get(), buffer, sizeof buffer);
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof *event + event->len);
            const auto owner = event->len ? ownerOf(inRoot("/bin/") + event->name) : std::nullopt;
            if (!owner) continue;
            ++events;
            if (owner->uid == 0 && owner->mode != 0)
                exposed.insert(std::string(event->name).substr(0, 7) + pf::format(" mode %o", owner->mode));
        }
    }
    EXPECT_EQ(installing.get(), std::nullopt);
    EXPECT_GT(events, 0);
    EXPECT_EQ(exposed, std::set<std::string>{});
    EXPECT_EQ(ownerOf(inRoot("/bin/tool")), (Owner{kNobody, groupNamed("nogroup"), 04755}));
}

} // namespace
} // namespace vti
