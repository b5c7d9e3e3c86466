// Uninstall requests through the real launcher, daemon and client, with and
// without moving the host bundle to the Trash of the user at the console.
//
// The console user is root (forced by the environment), so the Trash is
// root's own ~/.Trash. Only items named after this test's bundles are put
// there, and they are removed again, as is the folder when the test made it.
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
        if (c.clash) {
            EXPECT_EQ(vt::readFile(trash_ + "/" + app), "an earlier item");
            EXPECT_EQ(moved.rfind(stem_ + " ", 0), 0u) << moved;
            EXPECT_EQ(moved.substr(moved.size() - 4), ".app") << moved;
        } else {
            EXPECT_EQ(moved, app);
        }
        EXPECT_TRUE(fs::exists(trash_ + "/" + moved + "/Contents/Info.plist"));
    }
}

} // namespace
