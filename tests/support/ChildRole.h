#pragma once
// Child processes that run a part of the test program itself in a fresh
// process (exec of /proc/self/exe), for tests that need a real peer process
// using queues and sockets: a forked copy of a threaded test would inherit
// thread pools without their threads.
//
//   VT_CHILD_ROLE(echoService) { ...; return 0; }   // at namespace scope
//   vt::ChildRole child("echoService", {"arg"});     // in the test
//   child.stop(); / child.wait();
//
// The role runs before any test of the child: its return value is the
// child's exit status. The child inherits the test's environment.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vt {

using ChildRoleBody = std::function<int(const std::vector<std::string>& arguments)>;
bool registerChildRole(const std::string& name, ChildRoleBody body);

class ChildRole {
public:
    ChildRole(const std::string& name, const std::vector<std::string>& arguments = {});
    ~ChildRole(); // SIGKILL and reap when still running
    ChildRole(const ChildRole&) = delete;
    ChildRole& operator=(const ChildRole&) = delete;

    pid_t pid() const { return pid_; }
    // Sends the signal and reaps; returns the raw wait status.
    int stop(int signal = 15);
    // Waits (watchdog: SIGKILL) for the child to end; the raw wait status.
    int wait(std::chrono::seconds watchdog = std::chrono::seconds(30));

private:
    pid_t pid_ = -1;
    int status_ = 0;
};

} // namespace vt

#define VT_CHILD_ROLE(name)                                                                  \
    static int vtRole_##name(const std::vector<std::string>& arguments);                   \
    [[maybe_unused]] static const bool vtRoleRegistered_##name =                          \
        ::vt::registerChildRole(#name, vtRole_##name);                                      \
    static int vtRole_##name([[maybe_unused]] const std::vector<std::string>& arguments)
