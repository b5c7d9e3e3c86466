#include <sys/wait.h>

#include <gtest/gtest.h>

#include <csignal>

#include "app/VDApplication.h"
#include "app/VDSelector.h"
#include "app/VDSignalProxy.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Exception.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/ChildCheck.h"
#include "tests/support/TestSupport.h"

namespace {

// Each case runs in a forked child, since an observed signal stays caught for
// the life of the process.

// Records which of its methods were called, in order.
class Recorder : public pf::Object {
public:
    std::string calls;
    void first(const pf::Value& signal) { calls += "first" + signal.description() + " "; }
    void second(const pf::Value& signal) { calls += "second" + signal.description() + " "; }
    void fail(const pf::Value&) { pf::raise(pf::NSInternalInconsistencyException, "observer failed"); }
};

const VDSelector kFirst = VDSelector::define<Recorder>("first:", &Recorder::first);
const VDSelector kSecond = VDSelector::define<Recorder>("second:", &Recorder::second);
const VDSelector kFail = VDSelector::define<Recorder>("fail:", &Recorder::fail);

bool runUntil(const std::function<bool()>& done) { return vt::runMainLoopUntil(done, std::chrono::seconds(10)); }

// Gives the loop a few passes so that a delivery that should not happen would.
void runBriefly() { pf::RunLoop::current().runFor(0.1); }

// Raises the signal, then waits for the sentinel's call: whatever the other
// observers were going to get has been delivered by then.
bool raiseAndSettle(Recorder& sentinel, int signal) {
    const std::size_t before = sentinel.calls.size();
    std::raise(signal);
    return runUntil([&] { return sentinel.calls.size() > before; });
}

struct Case {
    const char* name;
    int (*body)(VDApplication& app, const std::shared_ptr<Recorder>& r);
};

const Case kCases[] = {
    {"NewestFirstDuplicatesOnceAndFailuresLogged",
     [](VDApplication& app, const std::shared_ptr<Recorder>& r) {
         vt::LogCapture log;
         app.addObserver(r, kFirst, SIGUSR1);
         app.addObserver(r, kSecond, SIGUSR1);
         app.addObserver(r, kFirst, SIGUSR1);
         // Called first: a failing observer and an unknown selector, logged; the walk goes on.
         app.addObserver(r, VDSelector::named("undefined:"), SIGUSR1);
         app.addObserver(r, kFail, SIGUSR1);
         std::raise(SIGUSR1);
         VT_CHILD_CHECK(runUntil([&] { return r->calls == "second10 first10 "; }));
         runBriefly();
         VT_CHILD_CHECK(r->calls == "second10 first10 ");
         VT_CHILD_CHECK(log.contains("-[VDApplication signalDidFire]::"));
         VT_CHILD_CHECK(log.contains("Exception: observer failed Backtrace: "));
         VT_CHILD_CHECK(log.contains("unrecognized selector"));
         return 0;
     }},
    {"RemovalBySelectorAndAllSignals",
     [](VDApplication& app, const std::shared_ptr<Recorder>& r) {
         auto sentinel = std::make_shared<Recorder>();
         for (int signal : {SIGUSR1, SIGUSR2}) {
             app.addObserver(sentinel, kFirst, signal);
             app.addObserver(r, kFirst, signal);
             app.addObserver(r, kSecond, signal);
         }
         app.removeObserver(r, &kSecond, SIGUSR1);
         VT_CHILD_CHECK(raiseAndSettle(*sentinel, SIGUSR1));
         VT_CHILD_CHECK(r->calls == "first10 ");
         app.removeObserver(r, nullptr, SIGUSR1);
         VT_CHILD_CHECK(raiseAndSettle(*sentinel, SIGUSR1));
         VT_CHILD_CHECK(r->calls == "first10 ");
         app.removeObserver(r, nullptr, -1);
         VT_CHILD_CHECK(raiseAndSettle(*sentinel, SIGUSR2));
         VT_CHILD_CHECK(r->calls == "first10 ");
         return 0;
     }},
    {"NestedSuspensionCoalesces",
     [](VDApplication& app, const std::shared_ptr<Recorder>& r) {
         app.addObserver(r, kFirst, SIGUSR1);
         VT_CHILD_CHECK(app.disableSignals());
         VT_CHILD_CHECK(!app.disableSignals());
         VT_CHILD_CHECK(!app.enableSignals());
         std::raise(SIGUSR1);
         std::raise(SIGUSR1);
         runBriefly();
         VT_CHILD_CHECK(r->calls.empty());
         VT_CHILD_CHECK(app.enableSignals());
         VT_CHILD_CHECK(runUntil([&] { return !r->calls.empty(); }));
         runBriefly();
         VT_CHILD_CHECK(r->calls == "first10 ");
         // An extra enable leaves the count at 0: one disable (the property's) suspends again.
         VT_CHILD_CHECK(!app.enableSignals());
         app.setDeliverSignals(false);
         VT_CHILD_CHECK(!app.deliverSignals());
         return 0;
     }},
    // An observed SIGTERM does not end the process, nor does it once its observers are gone.
    {"ProxiesForAnObservedTerminationSignal",
     [](VDApplication& app, const std::shared_ptr<Recorder>& r) {
         std::atomic<int> onMain{0}, onQueue{0}, removed{0};
         auto queue = pf::dispatch::Queue::serial("signal-test");
         auto mainProxy = app.addObserverForSignal(SIGTERM, nullptr, [&](std::int32_t signal) {
             if (signal == SIGTERM && pf::dispatch::isMainThread()) ++onMain;
         });
         auto queueProxy = app.addObserverForSignal(SIGTERM, queue, [&](std::int32_t signal) {
             if (signal == SIGTERM && pf::dispatch::Queue::current() == queue) ++onQueue;
         });
         auto gone = app.addObserverForSignal(SIGTERM, queue, [&](std::int32_t) { ++removed; });
         app.removeObserverForSignal(SIGTERM, gone);
         ::kill(::getpid(), SIGTERM);
         VT_CHILD_CHECK(runUntil([&] { return onMain == 1 && onQueue == 1; }));
         runBriefly();
         VT_CHILD_CHECK(onMain == 1 && onQueue == 1 && removed == 0);
         app.removeObserverForSignal(SIGTERM, mainProxy);
         app.removeObserverForSignal(SIGTERM, queueProxy);
         app.addObserver(r, kFirst, 0); // 0 and -3 are no signals
         app.addObserver(r, kFirst, -3);
         ::kill(::getpid(), SIGTERM);
         runBriefly();
         return 0;
     }},
};

class SignalObservation : public testing::TestWithParam<Case> {};

TEST_P(SignalObservation, InChild) {
    const int status = vt::runInChild([&] {
        VDApplication app;
        return GetParam().body(app, std::make_shared<Recorder>());
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "raw status " << status;
}

INSTANTIATE_TEST_SUITE_P(Cases, SignalObservation, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
