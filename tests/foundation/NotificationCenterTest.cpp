#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::Notification;
using pf::NotificationCenter;

TEST(NotificationCenter, ObserversMatchByNameAndObjectInRegistrationOrder) {
    NotificationCenter center;
    auto sender = std::make_shared<int>(1), other = std::make_shared<int>(2);
    std::vector<std::string> calls;
    auto record = [&](std::string tag) {
        return [&calls, tag](const Notification& n) {
            calls.push_back(tag + ":" + n.name + (n.userInfo.count("x") ? "+" + n.userInfo.at("x").string() : ""));
        };
    };
    center.addObserver("A", nullptr, record("anyA"));
    center.addObserver("A", sender.get(), record("senderA"));
    center.addObserver("", nullptr, record("all"));
    center.addObserver("", other.get(), record("allOther"));
    center.addObserver("B", nullptr, record("anyB"));
    struct Case {
        std::string name;
        std::shared_ptr<int> object;
        std::vector<std::string> expected;
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
    calls.clear();
    center.post("B", nullptr, pf::Dictionary{{"x", "com.x"}});
    EXPECT_EQ(calls, (std::vector<std::string>{"all:B+com.x", "anyB:B+com.x"}));
}

TEST(NotificationCenter, ObserversRemovedOrAddedDuringAPost) {
    NotificationCenter center;
    int oneShot = 0, lasting = 0;
    bool removedCalled = false, addedCalled = false;
    NotificationCenter::ObserverHandle self, removed;
    self = center.addObserver("N", nullptr, [&](const Notification&) {
        ++oneShot;
        center.removeObserver(self);
        center.removeObserver(removed);
        // A post from inside the block must neither deadlock nor reach the removed observers.
        center.post("N");
        // Added during the post: it observes later posts only.
        center.addObserver("N", nullptr, [&](const Notification&) { addedCalled = true; });
    });
    removed = center.addObserver("N", nullptr, [&](const Notification&) { removedCalled = true; });
    center.addObserver("N", nullptr, [&](const Notification&) { ++lasting; });
    center.post("N");
    EXPECT_FALSE(removedCalled);
    EXPECT_FALSE(addedCalled);
    EXPECT_EQ(lasting, 2); // the nested post, then the outer one
    center.post("N");
    EXPECT_EQ(oneShot, 1);
    EXPECT_EQ(lasting, 3);
    EXPECT_TRUE(addedCalled);
    center.removeObserver(self); // removing twice is harmless
    center.removeObserver(nullptr);
}

TEST(NotificationCenter, ExceptionFromAnObserverReachesThePoster) {
    NotificationCenter center;
    center.addObserver("N", nullptr, [](const Notification&) { throw std::runtime_error("observer failed"); });
    EXPECT_THROW(center.post("N"), std::runtime_error);
    bool called = false; // the centre is still usable
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
    for (int i = 0; i < 500; ++i)
        center.removeObserver(center.addObserver("N", nullptr, [&](const Notification&) { ++calls; }));
    auto lasting = center.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
    EXPECT_TRUE(vt::waitForCount(calls, calls + 1)) << "a lasting observer was never called";
    stop = true;
    for (auto& t : posters) t.join();
    center.removeObserver(lasting);
}

} // namespace
