// Install and uninstall requests through the real launcher, daemon and
// client, the latter with and without moving the host bundle to the Trash of
// the user at the console.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "installer/AliasFile.h"
#include "platform/system/Membership.h"
#include "platform/system/Volume.h"
#include "tests/e2e/Daemon.h"
#include "tests/support/BomBuilder.h"

namespace {

namespace fs = std::filesystem;

using testing::HasSubstr;
using testing::MatchesRegex;
using vt::bom;

// The names in a folder (none if it is absent) that start with the prefix, sorted.
std::vector<std::string> namesStartingWith(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code absent;
    for (const auto& entry : fs::directory_iterator(folder, absent))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class InstallE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
        f_ = std::make_unique<vt::DaemonFixture>();
        f_->startLauncher();
    }
    // A signed bundle installing a folder, a tool and a template tree under /opt/Sample.
    std::string sampleBundle() {
        return f_->makeBundle("Sample.app",
                              {{"Contents/Resources/tool", "#!/bin/sh\necho sample\n"},
                               {"Contents/Resources/Templates/a.txt", "a"}},
                              bom({vt::bomEntry("", "/opt/Sample", "755"),
                                   vt::bomEntry("Contents/Resources/tool", "/opt/Sample/tool", "0750", "root", "nogroup"),
                                   vt::bomEntry("Contents/Resources/Templates", "/opt/Sample/Templates", "700", "nobody")},
                                  {vt::bomRemoval(f_->rootPath() + "/opt/Sample")}));
    }
    std::string alias() const { return f_->path("support/VolumeSmith/VolumeSmith.alias"); }
    std::unique_ptr<vt::DaemonFixture> f_;
};

// The confined daemon sets the owners and modes; the alias is written
// before the reply.
TEST_F(InstallE2E, InstallsUnderARootAndWritesTheAliasBeforeReplying) {
    const std::string bundle = sampleBundle();
    auto result = f_->install(bundle);
    ASSERT_EQ(result.status, 0) << result.out << result.err << f_->log();
    EXPECT_EQ(result.out, "ok\n");
    auto resolved = VDResolveAliasFile(alias());
    ASSERT_TRUE(resolved.has_value());
    EXPECT_EQ(resolved->path(), bundle);

    const std::string opt = f_->rootPath() + "/opt/Sample";
    struct stat tool {}, inner {};
    ASSERT_EQ(::lstat((opt + "/tool").c_str(), &tool), 0);
    ASSERT_EQ(::lstat((opt + "/Templates/a.txt").c_str(), &inner), 0);
    EXPECT_EQ(vt::readFile(opt + "/tool"), "#!/bin/sh\necho sample\n");
    EXPECT_EQ(tool.st_mode & 07777, 0750u);
    EXPECT_EQ(tool.st_uid, 0u);
    EXPECT_EQ(inner.st_uid, 65534u);

    auto removed = f_->client({"uninstall", bundle});
    ASSERT_EQ(removed.status, 0) << removed.out << removed.err;
    EXPECT_FALSE(fs::exists(opt));
    EXPECT_TRUE(fs::exists(bundle)); // without --host the bundle stays
}

// Every refused request installs nothing and writes no alias.
TEST_F(InstallE2E, RefusedRequestsGetTheirErrorAndChangeNothing) {
    const std::string noBom = f_->makeBundle("NoBom.app", {{"Contents/Resources/x", "x"}}, pf::Value());
    const std::string linkedBom = f_->makeBundle("Linked.app", {{"Contents/Resources/real.plist", ""}}, pf::Value());
    fs::create_symlink("real.plist", linkedBom + "/Contents/Resources/BOM.plist");
    const std::string tampered = sampleBundle();
    vt::writeFile(tampered + "/Contents/Resources/tool", "#!/bin/sh\nrm -rf /\n");
    const std::string badBom = f_->makeBundle("Bad.app", {}, pf::Value(pf::Dictionary{{"Install", pf::Dictionary{}}}));
    auto url = [&](const std::string& path) {
        return pf::Dictionary{{"VDurl", "file://" + path + "/"}, {"VDroot", "file://" + f_->rootPath() + "/"}};
    };
    // type, entries, the reply as a regular expression (".+": the platform's own failure text)
    const std::tuple<const char*, pf::Dictionary, const char*> cases[] = {
        {"VDinstall", {}, "NSURLErrorDomain -1015 nil @ 21!"},
        {"VDinstall", {{"VDurl", "not a url"}}, "NSURLErrorDomain -1015 nil @ 21!"},
        {"VDinstall", {{"VDurl", 42}}, "NSURLErrorDomain -1015 .+"},
        {"VDinstall", url(f_->path("missing.app")), "NSURLErrorDomain -1015 nil @ 24!"},
        {"VDinstall", {{"VDurl", tampered}}, "NSURLErrorDomain -1015 nil @ 24!"}, // a URL, but no file URL
        {"VDinstall", url(noBom), "NSURLErrorDomain -1015 nil @ 31!"},
        {"VDinstall", url(linkedBom), "NSURLErrorDomain -1015 nil @ 31!"},
        {"VDinstall", url(tampered), "NSPOSIXErrorDomain 88 .*"},
        {"VDinstall", url(badBom), "NSPOSIXErrorDomain 22 .*"},
        {"VDuninstall", {}, "NSURLErrorDomain -1015 nil @ 69!"},
        {"VDuninstall", {{"VDurl", pf::Array{}}}, "NSURLErrorDomain -1015 .+"},
        {"VDuninstall", url(f_->path("missing.app")), "NSURLErrorDomain -1015 nil @ 72!"},
        {"VDuninstall", url(noBom), "NSURLErrorDomain -1015 nil @ 80!"},
    };
    for (const auto& [type, entries, reply] : cases) {
        SCOPED_TRACE(std::string(type) + " " + reply);
        EXPECT_THAT(f_->sendRaw(type, entries), MatchesRegex(reply));
        EXPECT_TRUE(fs::is_empty(f_->rootPath()));
        EXPECT_FALSE(fs::exists(alias()));
    }
    // The client says what the installer's codes mean, not the host's text for those numbers.
    EXPECT_THAT(f_->install(tampered).out,
                HasSubstr("error: NSPOSIXErrorDomain 88 The bundle's signature is not valid"));
    EXPECT_THAT(f_->install(badBom).out, HasSubstr("error: NSPOSIXErrorDomain 22 The bundle's BOM does not build"));
}

// A bare path is a URL whose path is that path, so it names the root. (Were
// it refused, the file would land in the work folder itself, not in /.)
TEST_F(InstallE2E, BarePathAsRootInstallsUnderIt) {
    const std::string target = f_->path("b");
    const std::string bundle = f_->makeBundle("B.app", {{"Contents/Resources/file", "B"}},
                                              bom({vt::bomEntry("Contents/Resources/file", target, "644")}, {}));
    fs::create_directories(f_->rootPath() + f_->work());
    EXPECT_EQ(f_->sendRaw("VDinstall", {{"VDurl", "file://" + bundle + "/"}, {"VDroot", f_->rootPath()}}), "ok");
    EXPECT_EQ(vt::readFile(f_->rootPath() + target), "B");
    EXPECT_FALSE(fs::exists(target));
}

// The killed daemon's staging item is left in /big; the next install into
// that folder removes it.
TEST_F(InstallE2E, DaemonKilledMidInstallGivesStatus2AndANewDaemonServesTheNext) {
    // Its first file takes the daemon a while to copy.
    const std::string bundle = f_->makeBundle("Big.app", {{"Contents/Resources/big", std::string(256u << 20, 'x')}},
                                              bom({vt::bomEntry("", "/big", "755"),
                                                   vt::bomEntry("Contents/Resources/big", "/big/file", "644")},
                                                  {}));
    const std::string next = f_->makeBundle("Next.app", {{"Contents/Resources/small", "s"}},
                                            bom({vt::bomEntry("Contents/Resources/small", "/big/small", "644")}, {}));
    auto staged = [&] { return namesStartingWith(f_->rootPath() + "/big", ".vicar-"); };
    vt::CommandResult result;
    std::thread client([&] { result = f_->install(bundle); });
    ASSERT_TRUE(f_->waitForLog("started com.vandrelsys.VolumeSmith.vicar")) << f_->log();
    // Killed while the copy into /big is under way (watchdog 10 s).
    vt::waitUntil([&] { return !staged().empty(); });
    ::kill(f_->daemonPids().at(0), SIGKILL);
    client.join();
    EXPECT_EQ(result.status, 2) << result.out << result.err;
    ASSERT_EQ(staged().size(), 1u);
    auto served = f_->install(next);
    EXPECT_EQ(served.status, 0) << served.out << served.err;
    EXPECT_EQ(f_->daemonPids().size(), 2u);
    EXPECT_EQ(staged(), std::vector<std::string>{});
    EXPECT_EQ(vt::readFile(f_->rootPath() + "/big/small"), "s");
}

// The console user is root (forced by the environment), so the Trash is
// root's own ~/.Trash. Only items named after this test's bundles are put
// there, and they are removed again, as is the folder when the test made it.
class UninstallE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
        home_ = pf::homeDirectoryForUid(0).value_or("");
        if (home_.empty()) GTEST_SKIP() << "root has no home folder";
        f_ = std::make_unique<vt::DaemonFixture>();
        // The bundle goes to the home's Trash only when both are on one volume.
        if (pf::volumeOfPath(f_->work()) != pf::volumeOfPath(home_))
            GTEST_SKIP() << f_->work() << " and " << home_ << " are on different volumes";
        trash_ = home_ + "/.Trash";
        madeTrash_ = !fs::exists(trash_);
        if (madeTrash_) fs::create_directory(trash_);
        stem_ = "VicarHost-" + std::to_string(::getpid());
        f_->setEnvironment("VICAR_CONSOLE_UID", "0");
        f_->startLauncher();
    }
    void TearDown() override {
        if (trash_.empty()) return;
        std::error_code ignored;
        for (const auto& item : trashItems()) fs::remove_all(trash_ + "/" + item, ignored);
        if (madeTrash_) fs::remove(trash_, ignored);
    }

    // Names in the Trash that belong to this test.
    std::vector<std::string> trashItems() const { return namesStartingWith(trash_, stem_); }

    std::unique_ptr<vt::DaemonFixture> f_;
    std::string home_, trash_, stem_;
    bool madeTrash_ = false;
};

TEST_F(UninstallE2E, TheHostBundleGoesToTheTrashOnlyWhenTheUninstallSucceeded) {
    struct Case {
        const char* name;
        bool host;    // --host given
        bool clash;   // the Trash already holds an item of the bundle's name
        bool failing; // an uninstall path that cannot be removed
        bool viaLink; // the client names the bundle through a symlinked folder
    };
    const Case cases[] = {{"without --host", false, false, false, false},
                          {"with --host", true, false, false, false},
                          {"with --host, the name taken", true, true, false, false},
                          {"with --host, failing uninstall", true, false, true, false},
                          {"with --host, through a symlinked folder", true, false, false, true}};
    const std::string app = stem_ + ".app", installed = f_->rootPath() + "/opt/" + stem_;
    fs::create_directory_symlink(f_->work(), f_->path("link"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        if (madeTrash_) fs::create_directory(trash_);
        fs::remove_all(f_->path(app));
        // A name longer than any file system allows: removing it fails, and not as "missing".
        pf::Array removals{vt::bomRemoval(installed)};
        if (c.failing) removals.insert(removals.begin(), vt::bomRemoval(f_->rootPath() + "/" + std::string(300, 'n')));
        const std::string path = f_->makeBundle(
            app, {{"Contents/Resources/file", "content"}},
            vt::bom({vt::bomEntry("", "/opt/" + stem_, "755"),
                     vt::bomEntry("Contents/Resources/file", "/opt/" + stem_ + "/file", "644")},
                    std::move(removals)));
        if (c.clash) vt::writeFile(trash_ + "/" + app, "an earlier item");
        auto install = f_->install(path);
        ASSERT_EQ(install.status, 0) << install.out << install.err;

        std::vector<std::string> arguments{"uninstall", c.viaLink ? f_->path("link/" + app) : path};
        if (c.host) arguments.push_back("--host");
        auto result = f_->client(arguments);
        const auto items = trashItems();
        if (c.failing) {
            EXPECT_EQ(result.status, 1) << result.out;
            // The platform's own removal error, whatever its code.
            EXPECT_EQ(result.out.rfind("error: NSCocoaErrorDomain ", 0), 0u) << result.out;
        } else {
            ASSERT_EQ(result.status, 0) << result.out << result.err << f_->log();
            EXPECT_FALSE(fs::exists(installed));
        }
        // Not unasked, not after a failed uninstall, nor through a folder on the
        // way that is a symlink (it could have been swapped since validation).
        if (!c.host || c.failing || c.viaLink) {
            EXPECT_TRUE(fs::exists(path + "/Contents/Info.plist")) << "the bundle moved";
            EXPECT_EQ(items, std::vector<std::string>{});
            continue;
        }
        EXPECT_FALSE(fs::exists(path));
        ASSERT_EQ(items.size(), c.clash ? 2u : 1u);
        // With the name taken the earlier item is kept; the bundle takes "<stem> <time>.app".
        const std::string& moved = c.clash && items[0] == app ? items[1] : items[0];
        EXPECT_THAT(moved, MatchesRegex(stem_ + (c.clash ? " .+" : "") + "\\.app"));
        if (c.clash) {
            EXPECT_EQ(vt::readFile(trash_ + "/" + app), "an earlier item");
        }
        EXPECT_TRUE(fs::exists(trash_ + "/" + moved + "/Contents/Info.plist"));
    }
}

} // namespace
