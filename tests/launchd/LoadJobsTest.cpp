// loadJobs: what the launcher takes from a folder of job descriptions, and
// every job it must refuse.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/foundation/PropertyList.h"
#include "platform/launchd/JobDescription.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::Array;
using pf::Dictionary;
using pf::Value;

Dictionary base(const std::string& label) {
    return Dictionary{{"Label", label},
                      {"ProgramArguments", Array{"/usr/bin/daemon", "--flag"}},
                      {"MachServices", Dictionary{{label + ".service", true}}}};
}

Dictionary with(Dictionary d, const std::string& key, Value value) {
    d[key] = std::move(value);
    return d;
}

Dictionary without(Dictionary d, const std::string& key) {
    d.erase(key);
    return d;
}

void writeJob(const vt::TempDir& dir, const std::string& file, const Value& job) {
    vt::writeFile(dir / file, *pf::xmlPropertyList(job));
}

bool hasProblem(const std::vector<std::string>& problems, const std::string& file, const std::string& fragment) {
    return std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
        return p.rfind(file + ": ", 0) == 0 && p.find(fragment) != std::string::npos;
    });
}

TEST(LoadJobs, ValidatesTheTypeOfEveryKey) {
    struct Case {
        std::string label;
        Dictionary job;
        std::string problem; // empty: accepted
    };
    const std::vector<Case> cases = {
        {"a.args-not-array", with(base("a.args-not-array"), "ProgramArguments", "/bin/true"), "\"ProgramArguments\""},
        {"a.args-not-strings", with(base("a.args-not-strings"), "ProgramArguments", Array{"/bin/true", 3}),
         "\"ProgramArguments\""},
        {"a.services-array", with(base("a.services-array"), "MachServices", Array{"x"}), "\"MachServices\""},
        {"a.services-string-value", with(base("a.services-string-value"), "MachServices", Dictionary{{"x", "yes"}}),
         "\"MachServices\""},
        {"a.services-colon", with(base("a.services-colon"), "MachServices", Dictionary{{"x:y", true}}),
         "\"MachServices\""},
        {"a.services-slash", with(base("a.services-slash"), "MachServices", Dictionary{{"../x", true}}),
         "\"MachServices\""},
        {"a.user-number", with(base("a.user-number"), "UserName", 0), "\"UserName\""},
        {"a.group-empty", with(base("a.group-empty"), "GroupName", ""), "\"GroupName\""},
        {"a.env-array", with(base("a.env-array"), "EnvironmentVariables", Array{}), "\"EnvironmentVariables\""},
        {"a.env-number", with(base("a.env-number"), "EnvironmentVariables", Dictionary{{"N", 1}}),
         "\"EnvironmentVariables\""},
        {"a.env-equals", with(base("a.env-equals"), "EnvironmentVariables", Dictionary{{"A=B", "c"}}),
         "\"EnvironmentVariables\""},
        {"a.timeout-string", with(base("a.timeout-string"), "TimeOut", "30"), "\"TimeOut\""},
        {"a.timeout-real", with(base("a.timeout-real"), "TimeOut", 2.5), "\"TimeOut\""},
        {"a.no-label", without(base("a.no-label"), "Label"), "\"Label\""},
        {"a.label-not-name", with(base("a.label-not-name"), "Label", "another.name"), "not the file's name"},
        {"a.too-many-services",
         with(base("a.too-many-services"), "MachServices",
              [] {
                  Dictionary many;
                  for (int i = 0; i <= 64; ++i) many["s" + std::to_string(i)] = true;
                  return Value(many);
              }()),
         "\"MachServices\""},
        {"b.minimal", Dictionary{{"Label", "b.minimal"}}, ""},
        {"b.switched-off", with(base("b.switched-off"), "MachServices", Dictionary{{"off", false}, {"on", Dictionary{}}}),
         ""},
        {"b.full",
         with(with(with(with(base("b.full"), "UserName", "root"), "GroupName", "wheel"), "TimeOut", 30),
              "EnvironmentVariables", Dictionary{{"A", "1"}, {"B", ""}}),
         ""},
    };
    vt::TempDir dir("vicar-jobs");
    for (const auto& c : cases) writeJob(dir, c.label + ".plist", Value(c.job));
    vt::writeFile(dir / "c.garbage.plist", "<plist><dict><key>Label</key>");
    vt::writeFile(dir / "c.unsafe.plist", *pf::xmlPropertyList(Value(base("c.unsafe"))), 0666);
    vt::writeFile(dir / "README", "not a job");
    vt::writeFile(dir / ".hidden.plist", *pf::xmlPropertyList(Value(base(".hidden"))));

    std::vector<std::string> problems;
    const auto jobs = pf::launchd::loadJobs(dir.path(), &problems);

    std::vector<std::string> accepted;
    for (const auto& job : jobs) accepted.push_back(job.label);
    EXPECT_EQ(accepted, (std::vector<std::string>{"b.full", "b.minimal", "b.switched-off"}));
    for (const auto& c : cases) {
        if (!c.problem.empty()) {
            EXPECT_TRUE(hasProblem(problems, c.label + ".plist", c.problem)) << c.label;
        }
    }
    EXPECT_TRUE(hasProblem(problems, "c.garbage.plist", "not a property list"));
    EXPECT_TRUE(hasProblem(problems, "c.unsafe.plist", "writable"));
    EXPECT_EQ(problems.size(), cases.size() - accepted.size() + 2) << ::testing::PrintToString(problems);

    const auto& full = jobs[0];
    EXPECT_EQ(full.programArguments, (std::vector<std::string>{"/usr/bin/daemon", "--flag"}));
    EXPECT_EQ(full.machServices, (std::vector<std::string>{"b.full.service"}));
    EXPECT_EQ(full.userName, "root");
    EXPECT_EQ(full.groupName, "wheel");
    EXPECT_EQ(full.timeOut, 30);
    EXPECT_EQ(full.environmentVariables, (std::map<std::string, std::string>{{"A", "1"}, {"B", ""}}));
    const auto& minimal = jobs[1];
    EXPECT_TRUE(minimal.programArguments.empty());
    EXPECT_TRUE(minimal.machServices.empty());
    EXPECT_FALSE(minimal.userName || minimal.groupName || minimal.timeOut);
    EXPECT_EQ(jobs[2].machServices, (std::vector<std::string>{"on"}));
}

TEST(LoadJobs, AServiceBelongsToOneJob) {
    vt::TempDir dir("vicar-jobs");
    writeJob(dir, "a.first.plist", Value(with(base("a.first"), "MachServices", Dictionary{{"shared", true}})));
    writeJob(dir, "b.second.plist",
             Value(with(base("b.second"), "MachServices", Dictionary{{"own", true}, {"shared", true}})));
    std::vector<std::string> problems;
    const auto jobs = pf::launchd::loadJobs(dir.path(), &problems);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].label, "a.first");
    EXPECT_TRUE(hasProblem(problems, "b.second.plist", "\"shared\" belongs to an earlier job"));
}

TEST(LoadJobs, AnUnusableFolderIsOneProblem) {
    std::vector<std::string> problems;
    EXPECT_TRUE(pf::launchd::loadJobs("/nonexistent/vicar/jobs", &problems).empty());
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("/nonexistent/vicar/jobs"), std::string::npos);

    vt::TempDir dir("vicar-jobs");
    writeJob(dir, "a.job.plist", Value(base("a.job")));
    ::chmod(dir.path().c_str(), 0777);
    problems.clear();
    EXPECT_TRUE(pf::launchd::loadJobs(dir.path(), &problems).empty());
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("writable"), std::string::npos);
}

} // namespace
