#pragma once
// The application frame: owns the process, turns the command line into
// arguments and options, runs the launch sequence and the main run loop in
// five-second slices, and ends the process through terminate().
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/foundation/Date.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

struct vdlog_handle;
class VDSelector;
class VDSignalProxy;
namespace pf::dispatch {
class Queue;
}

class VDApplication {
public:
    // init: records itself as the shared application object and the launch date.
    VDApplication();
    virtual ~VDApplication();
    VDApplication(const VDApplication&) = delete;
    VDApplication& operator=(const VDApplication&) = delete;

    // The one application object of the process, or nullptr.
    static VDApplication* shared();
    // Clears the shared object without destroying it (the entry point's
    // run-time lookup road).
    static void clearShared();

    // The process-wide argument array, set by the entry point before init.
    static void setArgumentArray(pf::Array arguments);

    int main(int argc, char** argv);
    // The launch sequence and the main loop; returns only if the loop ends.
    void run();
    void waitInEventLoopFor(double seconds);
    // Ends the process with status 0; callable from any thread, runs once.
    // Off the main thread it only schedules itself on the main queue.
    void terminate();

    // Hooks; the frame always passes nullptr.
    virtual void applicationWillFinishLaunching(const void* notification);
    virtual void applicationDidFinishLaunching(const void* notification);
    virtual void applicationWillTerminate(const void* notification);

    pf::Array arguments() const;
    std::optional<pf::Dictionary> options() const;
    // Accepted option names; the base accepts any (nullopt). Not consulted by the parser.
    virtual std::optional<std::set<std::string>> validOptions() const { return std::nullopt; }
    // nullopt when parsing raised.
    static std::optional<pf::Dictionary> parseOptions(const pf::Array& arguments);
    void parseOptions();

    std::string applicationSupportLeaf() const;
    void setApplicationSupportLeaf(std::string leaf);
    // Never fails; may be empty. Creates the folder and logs what is odd about it.
    std::string applicationSupportPathWithLeaf(const std::string* leaf, bool shared);
    std::string sharedApplicationSupportPath();
    std::string applicationSupportPath();

    pf::Date applicationLaunchDate() const;
    bool minimalSystem() const;
    // The system sleep timer; Linux has no such setting, so 0.
    std::uint64_t machineSleepTimer() const { return 0; }
    static std::optional<std::string> universallyUniqueString();

    // The shared system information's facts (SystemFacts.cpp).
    std::uint64_t physicalMemory() const;
    std::uint32_t physicalCPUCount() const;
    std::uint32_t availableCPUCount() const;
    std::uint32_t activeCPUCount() const;
    bool sixtyFourBitSystem() const;
    std::optional<std::string> machineModelName() const;

    bool launchComplete() const { return launchComplete_; }
    void setLaunchComplete(bool value) { launchComplete_ = value; }
    bool shouldExit() const { return shouldExit_; }

    // Level 1 error, 2 warning, 3 ordinary, 0xFFFFFFFF log-file header.
    template <class... A>
    void logWithLevel(std::uint32_t level, std::string_view format, const A&... args) {
        logMessage(level, pf::format(format, args...));
    }
    template <class... A>
    void log(std::string_view format, const A&... args) {
        logWithLevel(3, "%@", pf::format(format, args...));
    }
    // The formatted message: to the log file when one is open, else to the
    // system log, or nowhere in single-user mode.
    virtual void logMessage(std::uint32_t level, const std::string& message);

    // The open log file, or nullptr. Read without a lock: the two calls below
    // are for start-up, while no other thread logs.
    vdlog_handle* logHandle() const { return logHandle_; }
    // Closes the handle it replaces once its queued lines are written; the
    // current handle again changes nothing.
    void setLogHandle(vdlog_handle* handle);
    // Opens name (default "<bundle name>.log") in directory (default the
    // support folder's "Logs"), writes its header and makes it current.
    // Without a file, messages keep going to the system log; nothing is reported.
    void createLogFile(const std::optional<std::string>& name, const std::optional<pf::URL>& directory);

    // Signal observation (SignalObservation.cpp). An observed signal loses its
    // default action for good; its observers are called on the run loop of
    // the thread that registered first (the main thread), newest first, with
    // the signal number. Registration and removal belong on that thread.
    void addObserver(std::shared_ptr<pf::Object> target, const VDSelector& selector, std::int32_t signal);
    // A null selector removes every selector of the target; signal -1 every signal.
    void removeObserver(const std::shared_ptr<pf::Object>& target, const VDSelector* selector, std::int32_t signal);
    // The block runs on the queue (the main queue when null); keep the proxy to remove it.
    std::shared_ptr<VDSignalProxy> addObserverForSignal(std::int32_t signal,
                                                        std::shared_ptr<pf::dispatch::Queue> queue,
                                                        std::function<void(std::int32_t)> handler);
    // Both ignore an object that is not a VDSignalProxy.
    void addObserverForSignal(std::int32_t signal, const std::shared_ptr<pf::Object>& proxy);
    void removeObserverForSignal(std::int32_t signal, const std::shared_ptr<pf::Object>& proxy);
    // Nested suspension of delivery from any thread; each returns true when
    // its call crossed the threshold (suspended, resumed).
    bool disableSignals();
    bool enableSignals();
    bool deliverSignals() const { return signalsDisabled_.load() < 1; }
    void setDeliverSignals(bool deliver);
    // Delivers every pending signal; called by the event source.
    void signalDidFire();

private:
    std::atomic<std::int64_t> signalsDisabled_{0};
    std::optional<std::string> applicationSupportLeaf_;
    std::atomic<bool> launchComplete_{false};
    std::atomic<bool> shouldExit_{false};
    vdlog_handle* logHandle_ = nullptr;
};

void VDLogWithoutApplication(const std::string& message);

// Logs through the shared application object, or straight to the system log
// when there is none (library code used outside an application).
template <class... A>
void VDLog(std::uint32_t level, std::string_view format, const A&... args) {
    if (VDApplication* app = VDApplication::shared())
        app->logWithLevel(level, format, args...);
    else
        VDLogWithoutApplication(pf::format(format, args...));
}
