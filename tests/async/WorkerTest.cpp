// A worker on its own thread: a wake-up during a drain is kept, and what
// escapes a task's run is reported while the worker goes on.
#include <gtest/gtest.h>

#include <future>

#include "async/Worker.h"
#include "tests/async/AsyncTestSupport.h"

namespace {

using namespace VD::async;

TEST(Worker, DrainsAgainWhenWokenWhileDraining) {
    worker w("test.worker");
    vt::async::CapturedStdout out;
    task second([] {});
    auto secondDone = second.get_future();
    // Handed off from the worker's own drain, after that drain has counted
    // what remains; only the kept wake-up makes it run.
    w.hand_off(task([&] { w.hand_off(std::move(second)); }));
    EXPECT_EQ(secondDone.wait_for(std::chrono::seconds(10)), std::future_status::ready);

    task alreadyRun([] {});
    alreadyRun();
    w.hand_off(std::move(alreadyRun));
    task after([] {});
    auto afterDone = after.get_future();
    w.hand_off(std::move(after));
    EXPECT_EQ(afterDone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const std::future_error alreadySatisfied(std::future_errc::promise_already_satisfied);
    EXPECT_EQ(out.text(), std::string("Exception @ 935: ") + alreadySatisfied.what() + "\n");
    EXPECT_TRUE(vt::async::eventually([&] { return w.is_idle(); }));
}

TEST(Worker, ThreadNamesKeepTheirFirst15Bytes) {
    EXPECT_EQ(kernel_thread_name("VD::async::manager"), "VD::async::mana");
    EXPECT_EQ(kernel_thread_name("VD::async::worker"), "VD::async::work");
    EXPECT_EQ(kernel_thread_name("short"), "short");
}

} // namespace
