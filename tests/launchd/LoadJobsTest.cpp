// loadJobs: what the launcher takes from a folder of job descriptions, and
// every job it must refuse.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <tuple>

#include "platform/foundation/PropertyList.h"
#include "platform/launchd/JobDescription.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::Array;
using pf::Dictionary;
using pf::Value;

// A valid job of that label, with the changes laid over it (a null removes the key).
Dictionary job(const std::string& label, const Dictionary& changes = {}) {
    Dictionary d{{"Label", label},
                 {"ProgramArguments", Array{"/usr/bin/daemon", "--flag"}},
                 {"MachServices", Dictionary{{label + ".service", true}}}};
    for (const auto& [key, value] : changes) {
        if (value.isNull()) d.erase(key);
        else d[key] = value;
    }
    return d;
}

void writeJob(const vt::TempDir& dir, const std::string& label, const Dictionary& job) {
    vt::writeFile(dir / (label + ".plist"), *pf::xmlPropertyList(job));
}

bool hasProblem(const std::vector<std::string>& problems, const std::string& file, const std::string& fragment) {
    return std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
        return p.rfind(file + ": ", 0) == 0 && p.find(fragment) != std::string::npos;
    });
}

TEST(LoadJobs, ValidatesTheTypeOfEveryKey) {
    Dictionary manyServices;
    for (int i = 0; i <= 64; ++i) manyServices["s" + std::to_string(i)] = true;
    struct Case {
        std::string label;
        Dictionary changes;
        std::string problem; // empty: accepted
    };
    const std::vector<Case> cases = {
        {"a.args-not-array", {{"ProgramArguments", "/bin/true"}}, "\"ProgramArguments\""},
        {"a.args-not-strings", {{"ProgramArguments", Array{"/bin/true", 3}}}, "\"ProgramArguments\""},
        {"a.services-array", {{"MachServices", Array{"x"}}}, "\"MachServices\""},
        {"a.services-string-value", {{"MachServices", Dictionary{{"x", "yes"}}}}, "\"MachServices\""},
        {"a.services-colon", {{"MachServices", Dictionary{{"x:y", true}}}}, "\"MachServices\""},
        {"a.services-slash", {{"MachServices", Dictionary{{"../x", true}}}}, "\"MachServices\""},
        {"a.too-many-services", {{"MachServices", manyServices}}, "\"MachServices\""},
        {"a.user-number", {{"UserName", 0}}, "\"UserName\""},
        {"a.group-empty", {{"GroupName", ""}}, "\"GroupName\""},
        {"a.env-array", {{"EnvironmentVariables", Array{}}}, "\"EnvironmentVariables\""},
        {"a.env-number", {{"EnvironmentVariables", Dictionary{{"N", 1}}}}, "\"EnvironmentVariables\""},
        {"a.env-equals", {{"EnvironmentVariables", Dictionary{{"A=B", "c"}}}}, "\"EnvironmentVariables\""},
        {"a.timeout-real", {{"TimeOut", 2.5}}, "\"TimeOut\""},
        {"a.no-label", {{"Label", Value()}}, "\"Label\""},
        {"a.label-not-name", {{"Label", "another.name"}}, "not the file's name"},
        {"b.full",
         {{"UserName", "root"}, {"GroupName", "wheel"}, {"TimeOut", 30},
          {"EnvironmentVariables", Dictionary{{"A", "1"}, {"B", ""}}}},
         ""},
        {"b.minimal", {{"ProgramArguments", Value()}, {"MachServices", Value()}}, ""},
        {"b.switched-off", {{"MachServices", Dictionary{{"off", false}, {"on", Dictionary{}}}}}, ""},
        // A service belongs to the first job that names it; a later one is refused whole.
        {"c.claims-a-taken-service", {{"MachServices", Dictionary{{"own", true}, {"b.full.service", true}}}},
         "\"b.full.service\" belongs to an earlier job"},
    };
    vt::TempDir dir("vicar-jobs");
    for (const auto& c : cases) writeJob(dir, c.label, job(c.label, c.changes));
    vt::writeFile(dir / "c.garbage.plist", "<plist><dict><key>Label</key>");
    vt::writeFile(dir / "README", "not a job");
    writeJob(dir, ".hidden", job(".hidden"));

    std::vector<std::string> problems;
    const auto jobs = pf::launchd::loadJobs(dir.path(), &problems);
    const std::vector<std::string> daemon{"/usr/bin/daemon", "--flag"};
    const pf::launchd::JobDescription accepted[] = {
        {"b.full", daemon, {"b.full.service"}, "root", "wheel", {{"A", "1"}, {"B", ""}}, 30},
        {"b.minimal", {}, {}, {}, {}, {}, {}},
        {"b.switched-off", daemon, {"on"}, {}, {}, {}, {}},
    };
    const auto fields = [](const pf::launchd::JobDescription& j) {
        return std::tie(j.label, j.programArguments, j.machServices, j.userName, j.groupName, j.environmentVariables,
                        j.timeOut);
    };
    ASSERT_EQ(jobs.size(), std::size(accepted));
    for (std::size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(fields(jobs[i]), fields(accepted[i])) << accepted[i].label;
    for (const auto& c : cases)
        EXPECT_EQ(hasProblem(problems, c.label + ".plist", c.problem), !c.problem.empty()) << c.label;
    EXPECT_TRUE(hasProblem(problems, "c.garbage.plist", "not a property list"));
    EXPECT_EQ(problems.size(), cases.size() - jobs.size() + 1) << ::testing::PrintToString(problems);
}

TEST(LoadJobs, AFolderOthersMayWriteIsOneProblem) {
    vt::TempDir dir("vicar-jobs");
    writeJob(dir, "a.job", job("a.job"));
    ::chmod(dir.path().c_str(), 0777);
    std::vector<std::string> problems;
    EXPECT_TRUE(pf::launchd::loadJobs(dir.path(), &problems).empty());
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("writable"), std::string::npos) << problems[0];
}

} // namespace
