#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::Notification;
using pf::NotificationCenter;

TEST(NotificationCenter, ObserversMatchByNameAndObject) {
    NotificationCenter center;
    auto sender = std::make_shared<int>(1);
    auto other = std::make_shared<int>(2);
    std::vector<std::string> calls;
    auto record = [&](std::string tag) { return [&calls, tag](const Notification& n) { calls.push_back(tag + ":" + n.name); }; };
    center.addObserver("A", nullptr, record("anyA"));
    center.addObserver("A", sender.get(), record("senderA"));
    center.addObserver("", nullptr, record("all"));
    center.addObserver("", other.get(), record("allOther"));
    center.addObserver("B", nullptr, record("anyB"));

    struct Case {
        std::string name;
        std::shared_ptr<int> object;
        std::vector<std::string> expected; // in registration order
    };
    const Case cases[] = {
        {"A", nullptr, {"anyA:A", "all:A"}},
        {"A", sender, {"anyA:A", "senderA:A", "all:A"}},
        {"A", other, {"anyA:A", "all:A", "allOther:A"}},
        {"B", sender, {"all:B", "anyB:B"}},
        {"C", nullptr, {"all:C"}},
    };
    for (const auto& c : cases) {
        calls.clear();
        center.post(c.name, c.object);
        EXPECT_EQ(calls, c.expected) << c.name;
    }
}

TEST(NotificationCenter, UserInfoReachesTheObserver) {
    NotificationCenter center;
    std::string seen;
    center.addObserver("VDIPCServiceConnectionWillStartNotification", nullptr,
                       [&](const Notification& n) { seen = n.userInfo.at("name").string(); });
    center.post("VDIPCServiceConnectionWillStartNotification", nullptr, pf::Dictionary{{"name", "com.x"}});
    EXPECT_EQ(seen, "com.x");
}

TEST(NotificationCenter, OneShotObserverRemovesItselfInsideItsBlock) {
    NotificationCenter center;
    int oneShot = 0, lasting = 0;
    NotificationCenter::ObserverHandle handle;
    handle = center.addObserver("NSApplicationWillFinishLaunchingNotification", nullptr, [&](const Notification&) {
        ++oneShot;
        center.removeObserver(handle);
        // A post from inside the block must neither deadlock nor reach the removed observer.
        center.post("NSApplicationWillFinishLaunchingNotification");
    });
    center.addObserver("NSApplicationWillFinishLaunchingNotification", nullptr, [&](const Notification&) { ++lasting; });
    center.post("NSApplicationWillFinishLaunchingNotification");
    center.post("NSApplicationWillFinishLaunchingNotification");
    EXPECT_EQ(oneShot, 1);
    EXPECT_EQ(lasting, 3); // the nested post, then both outer posts
    center.removeObserver(handle); // removing twice is harmless
    center.removeObserver(nullptr);
}

TEST(NotificationCenter, ObserverRemovedDuringAPostIsNotCalledByIt) {
    NotificationCenter center;
    NotificationCenter::ObserverHandle second;
    bool secondCalled = false, addedCalled = false;
    center.addObserver("N", nullptr, [&](const Notification&) {
        center.removeObserver(second);
        // Added during the post: it observes later posts only.
        center.addObserver("N", nullptr, [&](const Notification&) { addedCalled = true; });
    });
    second = center.addObserver("N", nullptr, [&](const Notification&) { secondCalled = true; });
    center.post("N");
    EXPECT_FALSE(secondCalled);
    EXPECT_FALSE(addedCalled);
    center.post("N");
    EXPECT_TRUE(addedCalled);
}

TEST(NotificationCenter, ExceptionFromAnObserverReachesThePoster) {
    NotificationCenter center;
    center.addObserver("N", nullptr, [](const Notification&) { throw std::runtime_error("observer failed"); });
    EXPECT_THROW(center.post("N"), std::runtime_error);
    // The centre is still usable.
    bool called = false;
    center.addObserver("M", nullptr, [&](const Notification&) { called = true; });
    center.post("M");
    EXPECT_TRUE(called);
}

TEST(NotificationCenter, AsyncPostsRunOnTheMainThreadInOrder) {
    auto& center = NotificationCenter::defaultCenter();
    EXPECT_EQ(&center, &NotificationCenter::defaultCenter());
    std::vector<int> order;
    std::atomic<bool> offMain{false};
    auto handle = center.addObserver("VDIPCConnectionCreatedNotification", nullptr, [&](const Notification& n) {
        if (!pf::dispatch::isMainThread()) offMain = true;
        order.push_back(static_cast<int>(n.userInfo.at("i").integer()));
    });
    std::thread poster([&] {
        for (int i = 0; i < 5; ++i)
            center.postAsyncOnMainQueue(Notification{"VDIPCConnectionCreatedNotification", nullptr, pf::Dictionary{{"i", i}}});
    });
    poster.join();
    EXPECT_TRUE(order.empty()); // nothing is delivered until the main loop runs
    EXPECT_TRUE(vt::runMainLoopUntil([&] { return order.size() == 5; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_FALSE(offMain);
    center.removeObserver(handle);
}

TEST(NotificationCenter, ConcurrentPostsAndRemovalsAreSafe) {
    NotificationCenter center;
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            while (!stop) center.post("N");
        });
    for (int i = 0; i < 500; ++i) {
        auto h = center.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
        center.removeObserver(h);
    }
    auto lasting = center.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
    const int before = calls;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (calls == before && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_GT(calls, before) << "a lasting observer was never called";
    stop = true;
    for (auto& t : posters) t.join();
    center.removeObserver(lasting);
}

} // namespace
