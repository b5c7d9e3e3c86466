// copyJobDictionary and the domain rule.
#include <gtest/gtest.h>
#include <sys/stat.h>
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

pf::Value job(const std::string& label) {
    return pf::Dictionary{{"Label", label}, {"TimeOut", 7}, {"ProgramArguments", pf::Array{"/bin/true"}}};
}
std::string xmlJob(const std::string& label) { return *pf::xmlPropertyList(job(label)); }

TEST(CopyJobDictionary, ReadsOnlySafeWellFormedDictionaries) {
    vt::TempDir jobs("vicar-jobs"), elsewhere("vicar-elsewhere");
    const std::string escaping = "../" + fs::path(elsewhere.path()).filename().string() + "/x";
    const vt::ScopedEnvironment env("VICAR_SYSTEM_JOBS_DIR", jobs.path());
    using Make = std::function<void(const std::string& file)>;
    const auto writing = [](std::string content, unsigned mode = 0644, uid_t owner = 0) -> Make {
        return [=](const std::string& f) {
            vt::writeFile(f, content, mode);
            ASSERT_EQ(::chown(f.c_str(), owner, owner), 0);
        };
    };
    struct Case {
        const char* name;
        std::string label;
        Make make; // writes <jobs>/<label>.plist or not
        bool found;
    };
    const std::vector<Case> cases = {
        {"xml", "com.example.xml", writing(xmlJob("com.example.xml")), true},
        {"array at top", "com.example.array", writing(*pf::xmlPropertyList(pf::Array{"x"})), false},
        {"symlink to a good file", "com.example.link",
         [&](const std::string& f) {
             vt::writeFile(elsewhere / "real.plist", xmlJob("com.example.link"));
             fs::create_symlink(elsewhere / "real.plist", f);
         },
         false},
        {"group-writable", "com.example.gw", writing(xmlJob("com.example.gw"), 0664), false},
        {"owned by another user", "com.example.other", writing(xmlJob("com.example.other"), 0644, 65534), false},
        {"fifo", "com.example.fifo", [](const std::string& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0644), 0); }, false},
        {"too large", "com.example.big", writing(std::string(pf::launchd::detail::kMaxJobFileBytes + 1, ' ')), false},
        {"empty label", "", [](const std::string&) {}, false},
        // Written through the label's path: a job that is there, in the folder beside the jobs' one.
        {"label escaping the folder", escaping, writing(xmlJob(escaping)), false},
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

} // namespace
