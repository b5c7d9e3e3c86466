// copyJobDictionary, the domain rule and where each domain's jobs live.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>

#include "platform/foundation/PropertyList.h"
#include "platform/launchd/JobDescription.h"
#include "platform/launchd/JobFile.h"
#include "tests/launchd/ScopedEnvironment.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::launchd::Domain;

std::string xmlOf(const pf::Value& value) { return *pf::xmlPropertyList(value); }

std::string binaryOf(const pf::Value& value) {
    auto data = *pf::binaryPropertyList(value);
    return std::string(data.begin(), data.end());
}

pf::Value job(const std::string& label) {
    return pf::Value(pf::Dictionary{{"Label", label}, {"TimeOut", 7}, {"ProgramArguments", pf::Array{"/bin/true"}}});
}

TEST(CopyJobDictionary, ReadsOnlySafeWellFormedDictionaries) {
    vt::TempDir jobs("vicar-jobs");
    vt::TempDir elsewhere("vicar-elsewhere");
    vt::ScopedEnvironment env("VICAR_SYSTEM_JOBS_DIR", jobs.path());
    const std::string big(pf::launchd::detail::kMaxJobFileBytes + 1, ' ');

    struct Case {
        const char* name;
        std::string label;
        std::function<void(const std::string& file)> make; // writes <jobs>/<label>.plist or not
        bool found;
    };
    const std::vector<Case> cases = {
        {"xml", "com.example.xml", [](const std::string& f) { vt::writeFile(f, xmlOf(job("com.example.xml"))); }, true},
        {"binary", "com.example.binary",
         [](const std::string& f) { vt::writeFile(f, binaryOf(job("com.example.binary"))); }, true},
        {"missing", "com.example.missing", [](const std::string&) {}, false},
        {"array at top", "com.example.array",
         [](const std::string& f) { vt::writeFile(f, xmlOf(pf::Value(pf::Array{"x"}))); }, false},
        {"garbage", "com.example.garbage", [](const std::string& f) { vt::writeFile(f, "bplist00\x01\x02garbage"); },
         false},
        {"symlink to a good file", "com.example.link",
         [&](const std::string& f) {
             vt::writeFile(elsewhere / "real.plist", xmlOf(job("com.example.link")));
             std::filesystem::create_symlink(elsewhere / "real.plist", f);
         },
         false},
        {"group-writable", "com.example.gw",
         [](const std::string& f) { vt::writeFile(f, xmlOf(job("com.example.gw")), 0664); }, false},
        {"owned by another user", "com.example.other",
         [](const std::string& f) {
             vt::writeFile(f, xmlOf(job("com.example.other")));
             ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
         },
         false},
        {"fifo", "com.example.fifo", [](const std::string& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0644), 0); }, false},
        {"too large", "com.example.big", [&](const std::string& f) { vt::writeFile(f, big); }, false},
        {"directory", "com.example.dir", [](const std::string& f) { std::filesystem::create_directory(f); }, false},
        {"empty label", "", [](const std::string&) {}, false},
        {"label with slash", "sub/com.example.nested",
         [&](const std::string&) { vt::writeFile(jobs / "sub/com.example.nested.plist", xmlOf(job("x"))); }, false},
        {"label escaping the folder", "../vicar-escape",
         [&](const std::string&) { vt::writeFile(elsewhere / "vicar-escape.plist", xmlOf(job("x"))); }, false},
        {"hidden label", ".hidden", [](const std::string& f) { vt::writeFile(f, xmlOf(job(".hidden"))); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make(jobs / (c.label + ".plist"));
        const auto found = pf::launchd::copyJobDictionary(c.label, Domain::System);
        ASSERT_EQ(found.has_value(), c.found);
        if (c.found) {
            ASSERT_TRUE(found->isDictionary());
            EXPECT_EQ(found->find("TimeOut")->integer(), 7);
            EXPECT_EQ(found->find("Label")->string(), c.label);
        }
    }
}

TEST(CopyJobDictionary, RefusesAFolderOthersMayWrite) {
    vt::TempDir jobs("vicar-jobs");
    vt::ScopedEnvironment env("VICAR_SYSTEM_JOBS_DIR", jobs.path());
    vt::writeFile(jobs / "com.example.job.plist", xmlOf(job("com.example.job")));
    ASSERT_TRUE(pf::launchd::copyJobDictionary("com.example.job", Domain::System));
    ::chmod(jobs.path().c_str(), 0777);
    EXPECT_FALSE(pf::launchd::copyJobDictionary("com.example.job", Domain::System));
}

TEST(CopyJobDictionary, EachDomainReadsItsOwnFolder) {
    vt::TempDir system("vicar-system-jobs");
    vt::TempDir user("vicar-user-jobs");
    vt::ScopedEnvironment systemEnv("VICAR_SYSTEM_JOBS_DIR", system.path());
    vt::ScopedEnvironment userEnv("VICAR_USER_JOBS_DIR", user.path());
    vt::writeFile(system / "com.example.both.plist",
                  xmlOf(pf::Value(pf::Dictionary{{"Label", "com.example.both"}, {"TimeOut", 1}})));
    vt::writeFile(user / "com.example.both.plist",
                  xmlOf(pf::Value(pf::Dictionary{{"Label", "com.example.both"}, {"TimeOut", 2}})));
    vt::writeFile(user / "com.example.useronly.plist", xmlOf(job("com.example.useronly")));

    EXPECT_EQ(pf::launchd::copyJobDictionary("com.example.both", Domain::System)->find("TimeOut")->integer(), 1);
    EXPECT_EQ(pf::launchd::copyJobDictionary("com.example.both", Domain::User)->find("TimeOut")->integer(), 2);
    EXPECT_FALSE(pf::launchd::copyJobDictionary("com.example.useronly", Domain::System));
    EXPECT_TRUE(pf::launchd::copyJobDictionary("com.example.useronly", Domain::User));
}

TEST(JobDomain, RealUserZeroIsTheSystemDomain) {
    ASSERT_EQ(::getuid(), 0u) << "the tests run as root";
    EXPECT_EQ(pf::launchd::domainForCurrentProcess(), Domain::System);
    // Only the real user id counts: an effective root is still a user.
    const int asUser = vt::runInChild([] {
        if (::setresuid(65534, 0, 0) != 0) return 2;
        return pf::launchd::domainForCurrentProcess() == Domain::User ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(asUser) && WEXITSTATUS(asUser) == 0) << asUser;
}

TEST(JobDomain, FoldersFollowTheEnvironment) {
    struct Case {
        std::optional<std::string> systemDir, userDir, xdgConfig;
        Domain domain;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, std::nullopt, Domain::System, "/etc/vicar/jobs"},
        {"/srv/jobs", std::nullopt, std::nullopt, Domain::System, "/srv/jobs"},
        {"/srv/jobs", "/home/u/jobs", "/home/u/.cfg", Domain::User, "/home/u/jobs"},
        {std::nullopt, std::nullopt, "/home/u/.cfg", Domain::User, "/home/u/.cfg/vicar/jobs"},
        // Root's home from the user database, whatever HOME says.
        {std::nullopt, std::nullopt, std::nullopt, Domain::User, "/root/.config/vicar/jobs"},
    };
    vt::ScopedEnvironment home("HOME", "/nowhere");
    for (const auto& c : cases) {
        vt::ScopedEnvironment a("VICAR_SYSTEM_JOBS_DIR", c.systemDir);
        vt::ScopedEnvironment b("VICAR_USER_JOBS_DIR", c.userDir);
        vt::ScopedEnvironment d("XDG_CONFIG_HOME", c.xdgConfig);
        EXPECT_EQ(pf::launchd::jobsDirectory(c.domain), c.expected);
    }
}

} // namespace
