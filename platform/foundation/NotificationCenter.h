#pragma once
// The default notification centre: observers by name (and optionally by
// object identity), synchronous posting on the caller's thread, and posting
// asynchronously on the main queue. An observer may remove itself (or any
// other) from inside its block; a removed observer is never called again,
// not even by a post that is already under way.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace pf {

struct Notification {
    std::string name;
    std::shared_ptr<const void> object; // compared by identity; may be empty
    Dictionary userInfo;
};

class NotificationCenter {
public:
    class Observation; // opaque; keep the handle to remove the observer
    using ObserverHandle = std::shared_ptr<Observation>;
    using Block = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // An empty name observes every name; a null object every sender.
    ObserverHandle addObserver(std::string_view name, const void* object, Block block);
    void removeObserver(const ObserverHandle& handle);

    // Calls matching observers on this thread, in registration order.
    // Exceptions thrown by an observer propagate to the poster.
    void post(const Notification& note);
    void post(std::string name, std::shared_ptr<const void> object = nullptr, Dictionary userInfo = {});
    // Posts on the main queue (the main thread's run loop delivers it).
    void postAsyncOnMainQueue(Notification note);

private:
    struct State;
    // Posting works on the shared state, so a delivery queued for later
    // outlives nothing it needs.
    static void deliver(const std::shared_ptr<State>& state, const Notification& note);
    std::shared_ptr<State> state_;
};

} // namespace pf
