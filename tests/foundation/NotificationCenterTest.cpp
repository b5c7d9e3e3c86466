#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "platform/foundation/NotificationCenter.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::Notification;
using pf::NotificationCenter;

TEST(NotificationCenter, ObserversMatchByNameAndObjectInRegistrationOrder) {
    NotificationCenter center;
    auto sender = std::make_shared<int>(1), other = std::make_shared<int>(2);
    std::string calls;
    auto record = [&](std::string tag) {
        return [&calls, tag](const Notification& n) { calls += " " + tag + ":" + n.name; };
    };
    center.addObserver("A", nullptr, record("anyA"));
    center.addObserver("A", sender.get(), record("senderA"));
    center.addObserver("", nullptr, record("all"));
    center.addObserver("", other.get(), record("allOther"));
    center.addObserver("E", nullptr, [](const Notification&) { throw std::runtime_error("observer failed"); });
    // An observer's exception reaches the poster; the posts below show the centre still works.
    EXPECT_THROW(center.post("E"), std::runtime_error);
    const std::tuple<const char*, std::shared_ptr<int>, const char*> cases[] = {
        {"A", nullptr, " anyA:A all:A"}, {"A", sender, " anyA:A senderA:A all:A"},
        {"A", other, " anyA:A all:A allOther:A"}, {"C", nullptr, " all:C"},
    };
    for (const auto& [name, object, expected] : cases) {
        calls.clear();
        center.post(name, object);
        EXPECT_EQ(calls, expected) << name;
    }
}

TEST(NotificationCenter, ObserversRemovedOrAddedDuringAPost) {
    NotificationCenter center;
    std::string calls; // s: the one-shot observer, r: the one it removes, l: a lasting one, a: one added
    NotificationCenter::ObserverHandle self, removed;
    self = center.addObserver("N", nullptr, [&](const Notification&) {
        calls += "s";
        center.removeObserver(self);
        center.removeObserver(removed);
        // A post from inside the block must neither deadlock nor reach the removed observers.
        center.post("N");
        // Added during the post: it observes later posts only.
        center.addObserver("N", nullptr, [&](const Notification&) { calls += "a"; });
    });
    removed = center.addObserver("N", nullptr, [&](const Notification&) { calls += "r"; });
    center.addObserver("N", nullptr, [&](const Notification&) { calls += "l"; });
    center.post("N");
    EXPECT_EQ(calls, "sll"); // the nested post, then the outer one
    center.post("N");
    EXPECT_EQ(calls, "sllla");
    center.removeObserver(self); // removing twice is harmless
    center.removeObserver(nullptr);
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
