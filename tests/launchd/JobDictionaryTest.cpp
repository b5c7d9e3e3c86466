// copyJobDictionary, the domain rule and where each domain's jobs live.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "platform/foundation/PropertyList.h"
#include "platform/launchd/JobDescription.h"
#include "platform/launchd/JobFile.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using pf::launchd::Domain;
using pf::launchd::copyJobDictionary;
using vt::ScopedEnvironment;

pf::Value job(const std::string& label, int timeOut = 7) {
    return pf::Dictionary{{"Label", label}, {"TimeOut", timeOut}, {"ProgramArguments", pf::Array{"/bin/true"}}};
}
std::string xmlJob(const std::string& label, int timeOut = 7) { return *pf::xmlPropertyList(job(label, timeOut)); }

TEST(CopyJobDictionary, ReadsOnlySafeWellFormedDictionaries) {
    vt::TempDir jobs("vicar-jobs"), elsewhere("vicar-elsewhere");
    const ScopedEnvironment env("VICAR_SYSTEM_JOBS_DIR", jobs.path());
    using Make = std::function<void(const std::string& file)>;
    const auto writing = [](std::string content, unsigned mode = 0644) -> Make {
        return [=](const std::string& f) { vt::writeFile(f, content, mode); };
    };
    struct Case {
        const char* name;
        std::string label;
        Make make; // writes <jobs>/<label>.plist or not
        bool found;
    };
    const std::vector<Case> cases = {
        {"xml", "com.example.xml", writing(xmlJob("com.example.xml")), true},
        {"missing", "com.example.missing", [](const std::string&) {}, false},
        {"array at top", "com.example.array", writing(*pf::xmlPropertyList(pf::Array{"x"})), false},
        {"symlink to a good file", "com.example.link",
         [&](const std::string& f) {
             vt::writeFile(elsewhere / "real.plist", xmlJob("com.example.link"));
             fs::create_symlink(elsewhere / "real.plist", f);
         },
         false},
        {"group-writable", "com.example.gw", writing(xmlJob("com.example.gw"), 0664), false},
        {"owned by another user", "com.example.other",
         [](const std::string& f) {
             vt::writeFile(f, xmlJob("com.example.other"));
             ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
         },
         false},
        {"fifo", "com.example.fifo", [](const std::string& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0644), 0); }, false},
        {"too large", "com.example.big", writing(std::string(pf::launchd::detail::kMaxJobFileBytes + 1, ' ')), false},
        {"empty label", "", [](const std::string&) {}, false},
        {"label escaping the folder", "../vicar-escape",
         [&](const std::string&) { vt::writeFile(elsewhere / "vicar-escape.plist", xmlJob("x")); }, false},
        {"hidden label", ".hidden", writing(xmlJob(".hidden")), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make(jobs / (c.label + ".plist"));
        const auto found = copyJobDictionary(c.label, Domain::System);
        EXPECT_EQ(found, c.found ? std::optional<pf::Value>(job(c.label)) : std::nullopt);
    }
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
        {std::nullopt, std::nullopt, "/home/u/.cfg", Domain::User, "/home/u/.cfg/vicar/jobs"},
        // Root's home from the user database, whatever HOME says.
        {std::nullopt, std::nullopt, std::nullopt, Domain::User, "/root/.config/vicar/jobs"},
    };
    const ScopedEnvironment home("HOME", "/nowhere");
    for (const auto& c : cases) {
        const ScopedEnvironment scoped[] = {{"VICAR_SYSTEM_JOBS_DIR", c.systemDir},
                                            {"VICAR_USER_JOBS_DIR", c.userDir},
                                            {"XDG_CONFIG_HOME", c.xdgConfig}};
        EXPECT_EQ(pf::launchd::jobsDirectory(c.domain), c.expected);
    }
}

} // namespace
