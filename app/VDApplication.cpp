#include "app/VDApplication.h"

#include <sys/random.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "app/ExceptionGuard.h"
#include "foundation_ext/ExtensionLog.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/SingleUser.h"
#include "platform/system/SystemLog.h"
#include "support/log/LogFile.h"

namespace {

// Process-wide values: written during start-up on the main thread and read
// without locks afterwards, as the frame's contract says.
std::atomic<VDApplication*> gSharedApplication{nullptr};
pf::Array gArgumentArray;
std::optional<pf::Dictionary> gOptions;
pf::Date gLaunchDate;
std::atomic<std::uint32_t> gSingleUserCache{0xFFFFFFFF};

} // namespace

VDApplication::VDApplication() {
    gSharedApplication.store(this);
    gLaunchDate = pf::Date::now();
    // The extensions sit below the frame; their lines reach the log through it.
    VDSetExtensionLogger([](std::uint32_t level, const std::string& message) { VDLog(level, "%@", message); });
    // The platform's 10.4 number-formatter behaviour has no counterpart here:
    // ICU formatters behave that way already.
    (void)minimalSystem();
}

VDApplication::~VDApplication() {
    VDApplication* self = this;
    if (gSharedApplication.compare_exchange_strong(self, nullptr)) VDSetExtensionLogger({});
}

VDApplication* VDApplication::shared() { return gSharedApplication.load(); }
void VDApplication::clearShared() { gSharedApplication.store(nullptr); }
void VDApplication::setArgumentArray(pf::Array arguments) { gArgumentArray = std::move(arguments); }

int VDApplication::main(int, char**) {
    run();
    return 0;
}

void VDApplication::run() {
    auto& center = pf::NotificationCenter::defaultCenter();
    VDGuard(__LINE__, [&] { parseOptions(); });
    VDGuard(__LINE__, [&] { applicationWillFinishLaunching(nullptr); });
    VDGuard(__LINE__, [&] { center.post("NSApplicationWillFinishLaunchingNotification"); });
    VDGuard(__LINE__, [&] { applicationDidFinishLaunching(nullptr); });
    VDGuard(__LINE__, [&] { center.post("NSApplicationDidFinishLaunchingNotification"); });
    while (!shouldExit_) waitInEventLoopFor(5.0);
}

void VDApplication::waitInEventLoopFor(double seconds) {
    // A monotonic deadline: a step of the wall clock neither stretches nor
    // cuts the slice.
    const auto deadline = pf::RunLoop::deadlineIn(seconds);
    pf::RunLoop& loop = pf::RunLoop::current();
    do {
        VDGuardNamed("-[VDApplication waitInEventLoopFor:]", __LINE__, [&] { loop.runUntilDeadline(deadline); });
    } while (pf::RunLoop::Clock::now() < deadline && !shouldExit_);
}

void VDApplication::terminate() {
    if (!pf::dispatch::isMainThread()) {
        pf::dispatch::Queue::main()->async([this] { VDGuard(__LINE__, [this] { terminate(); }); });
        return;
    }
    if (shouldExit_.exchange(true)) return;
    VDGuard(__LINE__, [] { pf::NotificationCenter::defaultCenter().post("NSApplicationWillTerminateNotification"); });
    VDGuard(__LINE__, [this] { applicationWillTerminate(nullptr); });
    // Worker threads may still be running tasks, so static destructors must
    // not run under them: flush what was written and leave at once.
    std::fflush(nullptr);
    ::_exit(0);
}

void VDApplication::applicationWillFinishLaunching(const void*) {}
void VDApplication::applicationDidFinishLaunching(const void*) { launchComplete_ = true; }
void VDApplication::applicationWillTerminate(const void*) {}

pf::Array VDApplication::arguments() const { return gArgumentArray; }
std::optional<pf::Dictionary> VDApplication::options() const { return gOptions; }

void VDApplication::parseOptions() {
    if (auto parsed = parseOptions(gArgumentArray)) gOptions = std::move(parsed);
}

pf::Date VDApplication::applicationLaunchDate() const { return gLaunchDate; }

bool VDApplication::minimalSystem() const {
    std::uint32_t cached = gSingleUserCache.load();
    if (cached == 0xFFFFFFFF) {
        cached = pf::isSingleUserMode() ? 1 : 0;
        gSingleUserCache.store(cached);
    }
    return cached != 0;
}

std::optional<std::string> VDApplication::universallyUniqueString() {
    unsigned char b[16];
    if (getrandom(b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) return std::nullopt;
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    return pf::format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2],
                      b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

void VDApplication::logMessage(std::uint32_t level, const std::string& message) {
    // The file shows the level and filters it; the system log does neither.
    if (logHandle_) {
        vdlog_write(logHandle_, level, "%s", message.c_str());
        return;
    }
    if (!minimalSystem()) pf::systemLog(message);
}

void VDLogWithoutApplication(const std::string& message) { pf::systemLog(message); }

