#include "tests/support/ChildRole.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vt {

namespace {

constexpr const char* kRoleVariable = "VICAR_TEST_CHILD_ROLE";

std::map<std::string, ChildRoleBody>& roles() {
    static std::map<std::string, ChildRoleBody> table;
    return table;
}

// Runs the requested role once every static initialiser (and with it every
// registration) has run, before the first test; the child never runs tests.
class RoleEnvironment : public testing::Environment {
public:
    void SetUp() override {
        const char* role = std::getenv(kRoleVariable);
        if (!role) return;
        std::vector<std::string> arguments;
        for (int i = 0;; ++i) {
            const char* a = std::getenv(("VICAR_TEST_CHILD_ARG" + std::to_string(i)).c_str());
            if (!a) break;
            arguments.emplace_back(a);
        }
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
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind(kRoleVariable, 0) == 0 || entry.rfind("VICAR_TEST_CHILD_ARG", 0) == 0) continue;
        environment.push_back(entry);
    }
    environment.push_back(std::string(kRoleVariable) + "=" + name);
    for (std::size_t i = 0; i < arguments.size(); ++i)
        environment.push_back("VICAR_TEST_CHILD_ARG" + std::to_string(i) + "=" + arguments[i]);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    // Any test name will do: the role ends the child before tests run.
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=*";
    char* argv[] = {self.data(), filter.data(), nullptr};
    if (::posix_spawn(&pid_, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0)
        throw std::runtime_error("cannot start the child role " + name);
}

ChildRole::~ChildRole() {
    if (pid_ > 0) stop(SIGKILL);
}

int ChildRole::stop(int signal) {
    if (pid_ <= 0) return status_;
    ::kill(pid_, signal);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    return status_;
}

int ChildRole::wait(std::chrono::seconds watchdog) {
    if (pid_ <= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + watchdog;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
            pid_ = -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return stop(SIGKILL);
}

} // namespace vt
