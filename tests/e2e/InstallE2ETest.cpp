// Install and uninstall requests through the real launcher, daemon and client.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "installer/AliasFile.h"
#include "tests/support/BomBuilder.h"
#include "tests/e2e/Daemon.h"

namespace {

namespace fs = std::filesystem;

using vt::bom;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

uid_t ownerOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

class InstallE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
        f_ = std::make_unique<vt::DaemonFixture>();
        f_->startLauncher();
    }
    // A signed bundle installing a folder, a tool and a template tree under /opt/Sample.
    std::string sampleBundle(const std::string& name = "Sample.app") {
        const std::string installed = f_->rootPath() + "/opt/Sample";
        return f_->makeBundle(name,
                              {{"Contents/Resources/tool", "#!/bin/sh\necho sample\n"},
                               {"Contents/Resources/Templates/a.txt", "a"},
                               {"Contents/Resources/Templates/b.txt", "b"}},
                              bom({vt::bomEntry("", "/opt/Sample", "755"),
                                   vt::bomEntry("Contents/Resources/tool", "/opt/Sample/tool", "0750", "root", "nogroup"),
                                   vt::bomEntry("Contents/Resources/Templates", "/opt/Sample/Templates", "700", "nobody")},
                                  {vt::bomRemoval(installed)}));
    }
    // A bundle whose first file takes the daemon a while to copy.
    std::string bigBundle(const std::string& name, std::map<std::string, std::string> more, pf::Array moreEntries) {
        std::map<std::string, std::string> files = std::move(more);
        files["Contents/Resources/big"] = std::string(256u << 20, 'x');
        pf::Array entries{vt::bomEntry("", "/big", "755"), vt::bomEntry("Contents/Resources/big", "/big/file", "644")};
        for (auto& e : moreEntries) entries.push_back(std::move(e));
        return f_->makeBundle(name, files, bom(std::move(entries), {}));
    }
    // Returns once something appears in the folder (the copy is under way),
    // or after a watchdog of 10 s.
    static void waitUntilCopyingInto(const std::string& folder) {
        for (int i = 0; i < 2000 && !(fs::exists(folder) && !fs::is_empty(folder)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::unique_ptr<vt::DaemonFixture> f_;
};

TEST_F(InstallE2E, InstallsUnderARootAndWritesTheAliasBeforeReplying) {
    const std::string bundle = sampleBundle();
    auto result = f_->client({"install", bundle, "--root", f_->rootPath()});
    ASSERT_EQ(result.status, 0) << result.out << result.err << f_->log();
    EXPECT_EQ(result.out, "ok\n");
    // The alias is written before the reply goes out.
    auto alias = VDResolveAliasFile(f_->supportPath() + "/VolumeSmith/VolumeSmith.alias");
    ASSERT_TRUE(alias.has_value());
    EXPECT_EQ(alias->path(), bundle);

    const std::string opt = f_->rootPath() + "/opt/Sample";
    EXPECT_EQ(vt::readFile(opt + "/tool"), "#!/bin/sh\necho sample\n");
    EXPECT_EQ(modeOf(opt + "/tool"), 0750u);
    EXPECT_EQ(ownerOf(opt + "/tool"), 0u);
    EXPECT_EQ(modeOf(opt + "/Templates"), 0700u);
    EXPECT_EQ(ownerOf(opt + "/Templates"), 65534u);
    EXPECT_EQ(ownerOf(opt + "/Templates/a.txt"), 65534u);
    EXPECT_EQ(vt::readFile(opt + "/Templates/b.txt"), "b");

    auto removed = f_->client({"uninstall", bundle});
    ASSERT_EQ(removed.status, 0) << removed.out << removed.err;
    EXPECT_FALSE(fs::exists(opt));
    EXPECT_TRUE(fs::exists(bundle)); // without --host the bundle stays
}

TEST_F(InstallE2E, RequestsThatCannotBeHandledGetMinus1015) {
    const std::string plain = f_->path("plain-folder");
    fs::create_directories(plain);
    const std::string noBom = f_->makeBundle("NoBom.app", {{"Contents/Resources/x", "x"}}, pf::Value());
    const std::string linkedBom = f_->makeBundle("Linked.app", {{"Contents/Resources/real.plist", ""}}, pf::Value());
    fs::create_symlink("real.plist", linkedBom + "/Contents/Resources/BOM.plist");
    struct Case {
        std::vector<std::string> arguments;
        const char* reason;
    };
    const Case cases[] = {
        {{"install", f_->path("missing.app")}, "nil @ 24!"},
        {{"install", noBom}, "nil @ 31!"},
        {{"install", linkedBom}, "nil @ 31!"},
        {{"uninstall", f_->path("missing.app")}, "nil @ 72!"},
        {{"uninstall", noBom}, "nil @ 80!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        auto result = f_->client(c.arguments);
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_EQ(result.out.rfind(std::string("error: NSURLErrorDomain -1015 ") + c.reason, 0), 0u) << result.out;
    }
    (void)plain;
}

TEST_F(InstallE2E, MalformedRequestsGetMinus1015) {
    struct Case {
        const char* type;
        pf::Dictionary entries;
        const char* reason; // nullptr: any reason
    };
    const Case cases[] = {
        {"VDinstall", {}, "nil @ 21!"},
        {"VDinstall", {{"VDurl", "not a url"}}, "nil @ 21!"},
        {"VDinstall", {{"VDurl", 42}}, nullptr}, // the platform's type failure
        {"VDuninstall", {}, "nil @ 69!"},
        {"VDuninstall", {{"VDurl", pf::Array{}}}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + (c.reason ? c.reason : "type"));
        auto reply = f_->sendRaw(c.type, c.entries);
        ASSERT_TRUE(reply.replied);
        EXPECT_EQ(reply.domain, "NSURLErrorDomain");
        EXPECT_EQ(reply.code, -1015);
        if (c.reason) EXPECT_EQ(reply.reason, c.reason);
        else EXPECT_FALSE(reply.reason.empty());
    }
}

TEST_F(InstallE2E, BomThatDoesNotBuildGives22AndNoAlias) {
    const std::string bundle =
        f_->makeBundle("Bad.app", {}, pf::Value(pf::Dictionary{{"Install", pf::Dictionary{}}}));
    auto result = f_->client({"install", bundle, "--root", f_->rootPath()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("error: NSPOSIXErrorDomain 22 ", 0), 0u) << result.out;
    EXPECT_FALSE(fs::exists(f_->supportPath() + "/VolumeSmith/VolumeSmith.alias"));
}

TEST_F(InstallE2E, TamperedBundleGives88) {
    const std::string bundle = sampleBundle();
    vt::writeFile(bundle + "/Contents/Resources/tool", "#!/bin/sh\nrm -rf /\n");
    auto result = f_->client({"install", bundle, "--root", f_->rootPath()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("error: NSPOSIXErrorDomain 88 ", 0), 0u) << result.out;
    EXPECT_FALSE(fs::exists(f_->rootPath() + "/opt"));
}

TEST_F(InstallE2E, TwoInstallsAtOnce) {
    const std::string a = sampleBundle("A.app");
    const std::string b = f_->makeBundle("B.app", {{"Contents/Resources/file", "B"}},
                                         bom({vt::bomEntry("", "/b", "755"), vt::bomEntry("Contents/Resources/file", "/b/file", "644")},
                                             {}));
    vt::CommandResult ra, rb;
    std::thread ta([&] { ra = f_->client({"install", a, "--root", f_->rootPath()}); });
    std::thread tb([&] { rb = f_->client({"install", b, "--root", f_->rootPath()}); });
    ta.join();
    tb.join();
    EXPECT_EQ(ra.status, 0) << ra.out;
    EXPECT_EQ(rb.status, 0) << rb.out;
    EXPECT_EQ(vt::readFile(f_->rootPath() + "/b/file"), "B");
    EXPECT_TRUE(fs::exists(f_->rootPath() + "/opt/Sample/tool"));
}

TEST_F(InstallE2E, DaemonKilledMidInstallGivesStatus2AndANewDaemonServesTheNext) {
    // A large file keeps the install busy long enough to kill the daemon in it.
    const std::string bundle = bigBundle("Big.app", {}, {});
    vt::CommandResult result;
    std::thread client([&] { result = f_->client({"install", bundle, "--root", f_->rootPath()}); });
    ASSERT_TRUE(f_->waitForLog("started com.vandrelsys.VolumeSmith.vicar")) << f_->log();
    waitUntilCopyingInto(f_->rootPath() + "/big");
    ::kill(f_->daemonPids().at(0), SIGKILL);
    client.join();
    EXPECT_EQ(result.status, 2) << result.out << result.err;
    auto next = f_->client({"install", sampleBundle(), "--root", f_->rootPath()});
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_EQ(f_->daemonPids().size(), 2u);
}

TEST_F(InstallE2E, SourceSwappedBetweenParseAndCopyGives1) {
    // While the first file is copied, the second resource's source is
    // replaced: by another file, or by a symlink to a file outside.
    struct Case {
        const char* name;
        bool symlink;
    };
    for (const Case& c : std::vector<Case>{{"another file", false}, {"a symlink", true}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(f_->rootPath() + "/big");
        const std::string bundle = bigBundle(std::string("Swap") + (c.symlink ? "Link" : "File") + ".app",
                                             {{"Contents/Resources/second", "signed"}},
                                             {vt::bomEntry("Contents/Resources/second", "/big/second", "644")});
        const std::string source = bundle + "/Contents/Resources/second";
        const std::string outside = f_->path("outside");
        vt::writeFile(outside, "not signed");
        vt::CommandResult result;
        std::thread client([&] { result = f_->client({"install", bundle, "--root", f_->rootPath()}); });
        waitUntilCopyingInto(f_->rootPath() + "/big");
        const std::string swapped = source + ".new";
        if (c.symlink)
            fs::create_symlink(outside, swapped);
        else
            vt::writeFile(swapped, "not signed");
        fs::rename(swapped, source);
        client.join();
        EXPECT_EQ(result.status, 1) << result.out << result.err;
        EXPECT_EQ(result.out.rfind("error: NSPOSIXErrorDomain 1 ", 0), 0u) << result.out;
        EXPECT_NE(result.out.find(source), std::string::npos) << result.out;
        EXPECT_EQ(fs::file_size(f_->rootPath() + "/big/file"), 256u << 20); // earlier resources stay
        EXPECT_FALSE(fs::exists(f_->rootPath() + "/big/second"));
    }
}

} // namespace
