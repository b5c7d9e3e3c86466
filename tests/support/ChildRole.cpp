#include "tests/support/ChildRole.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace vt {

namespace {

// The child learns its role and arguments from these variables (also set by
// tests that start the test program through a launcher of their own).
constexpr const char* kVariablePrefix = "VICAR_TEST_CHILD_";
constexpr const char* kRoleVariable = "VICAR_TEST_CHILD_ROLE";

std::string argumentVariable(std::size_t i) { return kVariablePrefix + ("ARG" + std::to_string(i)); }

std::map<std::string, ChildRoleBody>& roles() {
    static std::map<std::string, ChildRoleBody> table;
    return table;
}

// Runs the requested role once every static initialiser (and with it every
// registration) has run, before the first test; the child never runs tests.
struct RoleEnvironment : testing::Environment {
    void SetUp() override {
        const char* role = std::getenv(kRoleVariable);
        if (!role) return;
        std::vector<std::string> arguments;
        for (std::size_t i = 0; const char* a = std::getenv(argumentVariable(i).c_str()); ++i)
            arguments.emplace_back(a);
        auto found = roles().find(role);
        std::fflush(nullptr);
        ::_exit(found == roles().end() ? 125 : found->second(arguments));
    }
};

[[maybe_unused]] const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new RoleEnvironment);

} // namespace

bool registerChildRole(const std::string& name, ChildRoleBody body) {
    roles()[name] = std::move(body);
    return true;
}

ChildRole::ChildRole(const std::string& name, const std::vector<std::string>& arguments) {
    std::vector<std::string> environment; // the test's own, without a role of its own
    for (char** e = environ; *e; ++e)
        if (!std::string_view(*e).starts_with(kVariablePrefix)) environment.emplace_back(*e);
    environment.push_back(std::string(kRoleVariable) + "=" + name);
    for (std::size_t i = 0; i < arguments.size(); ++i)
        environment.push_back(argumentVariable(i) + "=" + arguments[i]);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    // Any test name will do: the role ends the child before tests run.
    char self[] = "/proc/self/exe", filter[] = "--gtest_filter=*";
    char* argv[] = {self, filter, nullptr};
    if (::posix_spawn(&pid_, self, nullptr, nullptr, argv, envp.data()) != 0)
        throw std::runtime_error("cannot start the child role " + name);
}

ChildRole::~ChildRole() { stop(SIGKILL); }

int ChildRole::stop(int signal) {
    if (pid_ <= 0) return status_;
    ::kill(pid_, signal);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    return status_;
}

int ChildRole::wait(std::chrono::seconds watchdog) {
    // A child that ended is reaped by a look; one still running when the watchdog fires is killed.
    if (pid_ > 0 && waitUntil([&] { return ::waitpid(pid_, &status_, WNOHANG) == pid_; }, watchdog)) pid_ = -1;
    return stop(SIGKILL);
}

} // namespace vt
