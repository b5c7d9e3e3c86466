// A worker on its own thread: a wake-up during a drain is kept, and what
// escapes a task's run is reported while the worker goes on.
#include <gtest/gtest.h>

#include "async/Worker.h"
#include "tests/async/AsyncTestSupport.h"

namespace {

using namespace VD::async;

TEST(Worker, DrainsAgainWhenWokenWhileDrainingAndSurvivesAFailedRun) {
    testing::internal::CaptureStdout();
    worker w("test.worker");
    task second([] {}), alreadyRun([] {}), last([] {});
    auto secondDone = second.get_future(), lastDone = last.get_future();
    // Handed off from the worker's own drain after it counted what remains:
    // only the kept wake-up makes it run.
    w.hand_off(task([&] { w.hand_off(std::move(second)); }));
    EXPECT_EQ(secondDone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    alreadyRun();
    w.hand_off(std::move(alreadyRun));
    w.hand_off(std::move(last));
    EXPECT_EQ(lastDone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::future_error satisfied(std::future_errc::promise_already_satisfied);
    EXPECT_EQ(out, std::string("Exception @ 935: ") + satisfied.what() + "\n");
}

} // namespace
