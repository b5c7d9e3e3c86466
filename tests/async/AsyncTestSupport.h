#pragma once
// Helpers of the task-library tests: submitting a body, a watchdog around
// calls that could hang, counting reports, thread names.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <string>

#include "async/Queue.h"
#include "tests/support/TestSupport.h"

namespace vt::async {

inline std::future<void> submit(VD::async::queue& q, std::function<void()> body) {
    VD::async::task t(std::move(body));
    auto future = t.get_future();
    q.submit(std::move(t));
    return future;
}

// Runs body on a thread of its own; if it has not returned when the watchdog
// fires, the program ends (a hung queue would otherwise hang ctest).
inline void within(const std::function<void()>& body, std::chrono::seconds watchdog = std::chrono::seconds(20)) {
    auto returned = std::async(std::launch::async, body);
    if (returned.wait_for(watchdog) == std::future_status::ready) return returned.get();
    std::fprintf(stderr, "watchdog: a call did not return\n");
    std::abort();
}

// How many threads of this process have the name.
inline int threadsNamed(const std::string& name) {
    int n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        n += vt::readFile(task.path() / "comm") == name + "\n";
    return n;
}

} // namespace vt::async
