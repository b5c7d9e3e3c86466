// Uninstall requests through the real launcher, daemon and client, with and
// without moving the host bundle to the Trash of the user at the console.
//
// The console user is root (forced by the environment), so the Trash is
// root's own ~/.Trash. Only items named after this test's bundles are put
// there, and they are removed again, as is the folder when the test made it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/system/Membership.h"
#include "platform/system/Volume.h"
#include "tests/support/BomBuilder.h"
#include "tests/e2e/Daemon.h"

namespace {

namespace fs = std::filesystem;

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
    std::vector<std::string> trashItems() const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(trash_, error))
            if (entry.path().filename().string().rfind(stem_, 0) == 0) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    // A signed bundle that installs one file under /opt/<stem> and whose
    // uninstall removes the given paths (uninstall paths are real paths).
    std::string bundle(const std::vector<std::string>& removals) const {
        pf::Array uninstall;
        for (const auto& path : removals) uninstall.push_back(vt::bomRemoval(path));
        const std::string folder = "/opt/" + stem_;
        pf::Array install{vt::bomEntry("", folder, "755"), vt::bomEntry("Contents/Resources/file", folder + "/file", "644")};
        return f_->makeBundle(stem_ + ".app", {{"Contents/Resources/file", "content"}},
                              vt::bom(std::move(install), std::move(uninstall)));
    }
    std::string installed() const { return f_->rootPath() + "/opt/" + stem_; }

    std::unique_ptr<vt::DaemonFixture> f_;
    std::string home_, trash_, stem_;
    bool madeTrash_ = false;
};

TEST_F(UninstallE2E, TheHostBundleGoesToTheTrashOnlyWhenAskedAndTheUninstallSucceeded) {
    struct Case {
        const char* name;
        bool host;
        bool clash;   // the Trash already holds an item of the bundle's name
        bool failing; // an uninstall path that cannot be removed
        bool viaLink = false; // the client names the bundle through a symlinked folder
    };
    for (const Case& c : std::vector<Case>{{"without --host", false, false, false},
                                           {"with --host", true, false, false},
                                           {"with --host, the name taken", true, true, false},
                                           {"with --host, failing uninstall", true, false, true},
                                           {"with --host, through a symlinked folder", true, false, false, true}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        if (madeTrash_) fs::create_directory(trash_);
        std::vector<std::string> removals{installed()};
        // A name longer than any file system allows: removing it fails, and
        // not as "missing".
        if (c.failing) removals.insert(removals.begin(), f_->rootPath() + "/" + std::string(300, 'n'));
        fs::remove_all(f_->path(stem_ + ".app"));
        const std::string path = bundle(removals);
        if (c.clash) vt::writeFile(trash_ + "/" + stem_ + ".app", "an earlier item");

        auto install = f_->client({"install", path, "--root", f_->rootPath()});
        ASSERT_EQ(install.status, 0) << install.out << install.err;
        std::string named = path;
        if (c.viaLink) {
            fs::remove(f_->path("link"));
            fs::create_directory_symlink(f_->work(), f_->path("link"));
            named = f_->path("link") + "/" + stem_ + ".app";
        }
        std::vector<std::string> arguments{"uninstall", named};
        if (c.host) arguments.push_back("--host");
        auto result = f_->client(arguments);

        if (c.failing) {
            EXPECT_EQ(result.status, 1) << result.out;
            // The platform's own removal error, whatever its code.
            EXPECT_EQ(result.out.rfind("error: NSCocoaErrorDomain ", 0), 0u) << result.out;
            EXPECT_TRUE(fs::exists(path + "/Contents/Info.plist")) << "the bundle moved after a failed uninstall";
            EXPECT_EQ(trashItems(), std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(result.status, 0) << result.out << result.err << f_->log();
        EXPECT_FALSE(fs::exists(installed()));
        const auto items = trashItems();
        if (!c.host || c.viaLink) {
            // A folder on the way that is a symlink could have been swapped
            // since validation: the move is not made.
            EXPECT_TRUE(fs::exists(path));
            EXPECT_EQ(items, std::vector<std::string>{});
        } else if (!c.clash) {
            EXPECT_FALSE(fs::exists(path));
            EXPECT_EQ(items, std::vector<std::string>{stem_ + ".app"});
            EXPECT_TRUE(fs::exists(trash_ + "/" + stem_ + ".app/Contents/Info.plist"));
        } else {
            // The earlier item is kept; the bundle takes "<stem> <time>.app".
            EXPECT_FALSE(fs::exists(path));
            ASSERT_EQ(items.size(), 2u);
            EXPECT_EQ(vt::readFile(trash_ + "/" + stem_ + ".app"), "an earlier item");
            const std::string& moved = items[0] == stem_ + ".app" ? items[1] : items[0];
            EXPECT_EQ(moved.rfind(stem_ + " ", 0), 0u) << moved;
            EXPECT_EQ(moved.substr(moved.size() - 4), ".app") << moved;
            EXPECT_TRUE(fs::exists(trash_ + "/" + moved + "/Contents/Info.plist"));
        }
    }
}

} // namespace
