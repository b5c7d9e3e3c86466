// Who may ask the root daemon: real unprivileged peers (the client run as
// uid 65534) against the shipped rules and an administrator's rules file.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/Daemon.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kNobody = "65534";
constexpr const char* kTestGid = "4242";

class AuthorizationE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
        f_ = std::make_unique<vt::DaemonFixture>();
        rulesFile_ = f_->path("authorized-clients");
        f_->setEnvironment("VICAR_AUTHORIZED_CLIENTS_FILE", rulesFile_);
    }
    void start(const std::string& administratorRules = "") {
        if (!administratorRules.empty()) vt::writeFile(rulesFile_, administratorRules, 0644);
        f_->startLauncher();
    }

    // A request every admitted peer gets an answer to (an error reply: the
    // bundle does not exist), run as the given user and groups.
    vt::CommandResult ask(const std::string& program, const std::string& uid, const std::string& groups = "") const {
        std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + uid};
        argv.push_back(groups.empty() ? "--clear-groups" : "--groups=" + groups);
        argv.insert(argv.end(), {program, "uninstall", "/nonexistent/Missing.app"});
        return vt::runCommand(argv, f_->environment());
    }

    // The client's executable as Contents/MacOS/VolumeSmith of a bundle with
    // the client application's identifier.
    std::string clientBundle(const std::string& name, bool sign) const {
        const std::string bundle = f_->path(name);
        fs::create_directories(bundle + "/Contents/MacOS");
        vt::writeFile(bundle + "/Contents/Info.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>CFBundleIdentifier</key><string>com.vandrelsys.VolumeSmith2</string>"
                      "<key>CFBundleExecutable</key><string>VolumeSmith</string></dict></plist>\n");
        const std::string exe = bundle + "/Contents/MacOS/VolumeSmith";
        fs::copy_file(vt::toolPath("vicarctl"), exe, fs::copy_options::overwrite_existing);
        ::chmod(exe.c_str(), 0755);
        if (sign) f_->sign(bundle);
        return exe;
    }

    std::unique_ptr<vt::DaemonFixture> f_;
    std::string rulesFile_;
};

constexpr int kAnswered = 1; // the error reply of the request above
constexpr int kNoReply = 2;

TEST_F(AuthorizationE2E, ShippedRulesAdmitRootAndRefuseOthers) {
    start();
    auto refused = ask(vt::toolPath("vicarctl"), kNobody);
    EXPECT_EQ(refused.status, kNoReply) << refused.out << refused.err;
    EXPECT_TRUE(f_->waitForLog("refused peer uid 65534 pid "));
    auto root = f_->client({"uninstall", "/nonexistent/Missing.app"});
    EXPECT_EQ(root.status, kAnswered) << root.out << root.err;
}

TEST_F(AuthorizationE2E, AdministratorRules) {
    struct Case {
        const char* name;
        std::string rules;
        std::string groups;
        int status;
    };
    const Case cases[] = {
        {"group rule admits a member", std::string("gid ") + kTestGid + "\n", kTestGid, kAnswered},
        {"group rule refuses a non-member", std::string("gid ") + kTestGid + "\n", "100", kNoReply},
        {"uid rule", "# the operator\nuid 65534\n", "", kAnswered},
        {"unknown user never matches", "user no-such-user-here\n", "", kNoReply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        f_ = std::make_unique<vt::DaemonFixture>();
        rulesFile_ = f_->path("authorized-clients");
        f_->setEnvironment("VICAR_AUTHORIZED_CLIENTS_FILE", rulesFile_);
        start(c.rules);
        auto result = ask(vt::toolPath("vicarctl"), kNobody, c.groups);
        EXPECT_EQ(result.status, c.status) << result.out << result.err << f_->log();
    }
}

TEST_F(AuthorizationE2E, ARulesFileOthersMayWriteIsIgnored) {
    vt::writeFile(rulesFile_, "uid 65534\n", 0666);
    ::chmod(rulesFile_.c_str(), 0666);
    f_->startLauncher();
    EXPECT_EQ(ask(vt::toolPath("vicarctl"), kNobody).status, kNoReply);
    EXPECT_TRUE(f_->waitForLog("its rules are ignored"));
}

TEST_F(AuthorizationE2E, TheSignedClientApplication) {
    start();
    const std::string signedExe = clientBundle("VolumeSmith.app", true);
    auto admitted = ask(signedExe, kNobody);
    EXPECT_EQ(admitted.status, kAnswered) << admitted.out << admitted.err << f_->log();
    // Asked again: the remembered answer for the same bytes.
    EXPECT_EQ(ask(signedExe, kNobody).status, kAnswered);

    const std::string unsignedExe = clientBundle("Unsigned.app", false);
    EXPECT_EQ(ask(unsignedExe, kNobody).status, kNoReply);

    // Changed after signing: one more byte at the end still runs.
    std::ofstream(signedExe, std::ios::app) << '\0';
    EXPECT_EQ(ask(signedExe, kNobody).status, kNoReply) << f_->log();
}

} // namespace
