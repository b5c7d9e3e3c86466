// A worker that just finished a task looks for the next one a moment before
// it sleeps, and a task queued while one looks is not announced by a
// wake-up. These cases queue tasks around the end of that moment, from
// inside the pool and from outside, and fail when one is never run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/dispatch/Queue.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::dispatch::Queue;
using namespace std::chrono_literals;

void pauseFor(std::chrono::microseconds pause) {
    const auto until = std::chrono::steady_clock::now() + pause;
    while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

// Queues the next link until `left` runs out; the last one counts `done`.
void chain(std::shared_ptr<Queue> queue, std::atomic<int>* left, std::atomic<int>* done,
           std::chrono::microseconds pause) {
    queue->async([=] {
        pauseFor(pause);
        if (left->fetch_sub(1) > 1) chain(queue, left, done, pause);
        else done->fetch_add(1);
    });
}

TEST(PoolHandOff, NoTaskIsLostAroundTheLookBeforeSleep) {
    constexpr int kRounds = 300;
    for (const auto pause : {0us, 10us, 40us, 50us, 60us, 200us}) {
        SCOPED_TRACE(pause.count());
        // From outside: each task is queued `pause` after the previous one ended.
        for (int round = 0; round < kRounds; ++round) {
            auto ran = std::make_shared<vt::Event>();
            Queue::global()->async([ran] { ran->signal(); });
            ASSERT_TRUE(ran->wait(5s)) << "round " << round;
            pauseFor(pause);
        }
        // From inside: a chain through a serial queue, each link queued by
        // the task before it after the pause, on two queues at once.
        std::atomic<int> left[2] = {kRounds, kRounds};
        std::atomic<int> chainsDone{0};
        chain(Queue::serial("chain.a"), &left[0], &chainsDone, pause);
        chain(Queue::serial("chain.b"), &left[1], &chainsDone, pause);
        ASSERT_TRUE(vt::waitForCount(chainsDone, 2, 10s));
    }
}

} // namespace
