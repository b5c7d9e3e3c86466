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
    }
    // A fresh daemon set-up; the administrator's rules file, when given, with that mode.
    void start(const char* administratorRules = nullptr, unsigned mode = 0644) {
        f_ = std::make_unique<vt::DaemonFixture>();
        const std::string rules = f_->path("authorized-clients");
        f_->setEnvironment("VICAR_AUTHORIZED_CLIENTS_FILE", rules);
        if (administratorRules) {
            vt::writeFile(rules, administratorRules);
            ::chmod(rules.c_str(), mode);
        }
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
};

constexpr int kAnswered = 1; // the error reply of the request above
constexpr int kNoReply = 2;

TEST_F(AuthorizationE2E, ShippedAndAdministratorRules) {
    struct Case {
        const char* name;
        const char* rules; // nullptr: no rules file
        unsigned mode;
        const char* uid;
        std::string groups;
        int status;
        const char* logged; // nullptr: nothing checked
    };
    const std::string gidRule = std::string("gid ") + kTestGid + "\n";
    const Case cases[] = {
        {"shipped rules admit root", nullptr, 0, "0", "", kAnswered, nullptr},
        {"shipped rules refuse others", nullptr, 0, kNobody, "", kNoReply, "refused peer uid 65534 pid "},
        {"group rule admits a member", gidRule.c_str(), 0644, kNobody, kTestGid, kAnswered, nullptr},
        {"group rule refuses a non-member", gidRule.c_str(), 0644, kNobody, "100", kNoReply, nullptr},
        {"uid rule", "# the operator\nuid 65534\n", 0644, kNobody, "", kAnswered, nullptr},
        {"unknown user never matches", "user no-such-user-here\n", 0644, kNobody, "", kNoReply, nullptr},
        {"a file others may write is ignored", "uid 65534\n", 0666, kNobody, "", kNoReply, "its rules are ignored"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.rules, c.mode);
        auto result = ask(vt::toolPath("vicarctl"), c.uid, c.groups);
        EXPECT_EQ(result.status, c.status) << result.out << result.err << f_->log();
        if (c.logged) {
            EXPECT_TRUE(f_->waitForLog(c.logged)) << f_->log();
        }
    }
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
