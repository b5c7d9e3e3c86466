// Signal observation of the application frame. The process-wide table maps a
// signal to its observer entries; the event source is the platform's signal
// event queue, whose descriptor the run loop of the first registering thread
// watches. The table has no lock: it is only touched on that thread.
#include <algorithm>
#include <map>
#include <vector>

#include "app/ExceptionGuard.h"
#include "app/VDApplication.h"
#include "app/VDSelector.h"
#include "app/VDSignalProxy.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/SignalEventQueue.h"

namespace {

struct ObserverEntry {
    std::shared_ptr<pf::Object> target;
    std::string selname;

    bool operator==(const ObserverEntry& other) const {
        return selname == other.selname && target->isEqual(*other.target);
    }
};

std::map<std::int32_t, std::vector<ObserverEntry>>& observerTable() {
    static std::map<std::int32_t, std::vector<ObserverEntry>> table;
    return table;
}

// Null until the first registration; then kept until exit. When the queue
// cannot be made, registrations are kept but nothing is ever delivered.
std::shared_ptr<pf::RunLoop::Source>& signalSource() {
    static std::shared_ptr<pf::RunLoop::Source> source;
    return source;
}

void makeSignalSourceOnce() {
    static bool made = false;
    if (std::exchange(made, true)) return;
    pf::SignalEventQueue* queue = pf::SignalEventQueue::shared();
    if (!queue) return;
    signalSource() = pf::RunLoop::current().addReadSource(queue->descriptor(), [] {
        if (VDApplication* app = VDApplication::shared()) VDGuard(__LINE__, [app] { app->signalDidFire(); });
    });
}

void setSignalSourceEnabled(bool enabled) {
    if (auto& source = signalSource()) source->setEnabled(enabled);
}

std::shared_ptr<VDSignalProxy> asProxy(const std::shared_ptr<pf::Object>& object) {
    return std::dynamic_pointer_cast<VDSignalProxy>(object);
}

} // namespace

void VDApplication::addObserver(std::shared_ptr<pf::Object> target, const VDSelector& selector, std::int32_t signal) {
    if (signal <= 0 || !target) return;
    makeSignalSourceOnce();
    auto& table = observerTable();
    auto found = table.find(signal);
    if (found == table.end()) {
        found = table.emplace(signal, std::vector<ObserverEntry>{}).first;
        // A failure leaves the signal with its default action and no events:
        // nothing is reported, as with the platform's event registration.
        if (auto* queue = pf::SignalEventQueue::shared()) queue->addSignal(signal);
    }
    ObserverEntry entry{std::move(target), selector.name()};
    auto& entries = found->second;
    if (std::find(entries.begin(), entries.end(), entry) == entries.end()) entries.push_back(std::move(entry));
}

void VDApplication::removeObserver(const std::shared_ptr<pf::Object>& target, const VDSelector* selector,
                                   std::int32_t signal) {
    auto& table = observerTable();
    if (signal == -1) {
        for (auto& [number, entries] : table) removeObserver(target, selector, number);
        return;
    }
    auto found = table.find(signal);
    if (found == table.end()) return;
    // The array, the handler and the ignored default action all stay.
    std::erase_if(found->second, [&](const ObserverEntry& entry) {
        return entry.target == target && (!selector || entry.selname == selector->name());
    });
}

std::shared_ptr<VDSignalProxy> VDApplication::addObserverForSignal(std::int32_t signal,
                                                                   std::shared_ptr<pf::dispatch::Queue> queue,
                                                                   std::function<void(std::int32_t)> handler) {
    auto proxy = std::make_shared<VDSignalProxy>(std::move(handler), std::move(queue));
    addObserver(proxy, VDSignalProxy::signalHandlerSelector(), signal);
    return proxy;
}

void VDApplication::addObserverForSignal(std::int32_t signal, const std::shared_ptr<pf::Object>& proxy) {
    if (auto p = asProxy(proxy)) addObserver(p, VDSignalProxy::signalHandlerSelector(), signal);
}

void VDApplication::removeObserverForSignal(std::int32_t signal, const std::shared_ptr<pf::Object>& proxy) {
    if (asProxy(proxy)) removeObserver(proxy, &VDSignalProxy::signalHandlerSelector(), signal);
}

bool VDApplication::disableSignals() {
    if (signalsDisabled_.fetch_add(1) + 1 != 1) return false;
    setSignalSourceEnabled(false);
    return true;
}

bool VDApplication::enableSignals() {
    const std::int64_t now = signalsDisabled_.fetch_sub(1) - 1;
    if (now > 0) return false;
    // An unbalanced enable is clamped back to 0 (unless another thread has
    // changed the count meanwhile).
    if (std::int64_t expected = now; now < 0) signalsDisabled_.compare_exchange_strong(expected, 0);
    setSignalSourceEnabled(true);
    return now == 0;
}

void VDApplication::setDeliverSignals(bool deliver) {
    if (deliver) enableSignals();
    else disableSignals();
}

void VDApplication::signalDidFire() {
    pf::SignalEventQueue* queue = pf::SignalEventQueue::shared();
    if (!queue) return;
    while (auto signal = queue->fetch()) {
        const pf::Value number(*signal);
        // A copy: an observer may add or remove entries while the walk runs.
        const auto found = observerTable().find(*signal);
        if (found == observerTable().end()) continue;
        const std::vector<ObserverEntry> entries = found->second;
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            VDGuardNamed("-[VDApplication signalDidFire]", __LINE__,
                         [&] { VDSelector::named(entry->selname).perform(*entry->target, number); });
        }
    }
}
