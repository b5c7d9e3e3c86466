#include "foundation_ext/RunLoopExtensions.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <thread>

#include <gtest/gtest.h>

namespace {

// Each wait must return after handling one ready source, long before its
// generous time-out; a wait that ignored the source would take the full time.
TEST(RunLoopExtensions, ReturnsAfterOneHandledSourceOrAtOnceForNoTime) {
    std::thread([] {
        auto& loop = pf::RunLoop::current();
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        int fired = 0;
        auto source = loop.addReadSource(fds[0], [&] {
            char c;
            while (::read(fds[0], &c, 1) == 1) ++fired;
        });
        ASSERT_EQ(::write(fds[1], "ab", 2), 2);
        waitForEventWithTimeout(loop, 1e300); // clamped, and left at once for the ready source
        EXPECT_EQ(fired, 2);
        for (double seconds : {0.0, -1.0, double(NAN)}) waitForEventWithTimeout(loop, seconds);
        source->invalidate();
        ::close(fds[0]);
        ::close(fds[1]);
    }).join();
}

} // namespace
