#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "app/ExceptionGuard.h"
#include "app/VDApplication.h"
#include "foundation_ext/ExceptionCallStack.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"
#include "tests/support/TestSupport.h"

namespace {

// Records the launch order and ends the process in a way chosen by the test.
class RecordingApp : public VDApplication {
public:
    std::function<void(RecordingApp&)> afterLaunch;
    bool throwInWillFinish = false;
    std::string trace;

    void applicationWillFinishLaunching(const void*) override {
        trace += "willHook ";
        if (throwInWillFinish) pf::raise(pf::NSInternalInconsistencyException, "hook failed");
    }
    void applicationDidFinishLaunching(const void* n) override {
        trace += "didHook ";
        VDApplication::applicationDidFinishLaunching(n);
        if (afterLaunch) afterLaunch(*this);
    }
    void applicationWillTerminate(const void*) override {
        trace += "termHook ";
        // The trace goes to the parent through the exit path: write it out.
        std::fprintf(stdout, "%s\n", trace.c_str());
    }
};

TEST(Lifecycle, LaunchOrderOneTerminationAndAGuardedHook) {
    const struct {
        const char* what;
        std::function<void(RecordingApp&)> afterLaunch;
        bool throwInWillFinish;
    } cases[] = {
        {"terminate on the main queue",
         [](RecordingApp& app) {
             // Checked in the child, so a failure shows in the trace.
             if (!app.launchComplete() || app.options()->at("x").string() != "1") app.trace += "unlaunched ";
             pf::dispatch::Queue::main()->async([&app] { app.terminate(); });
         },
         false},
        // One terminate notification and one hook call, whoever called first;
        // a hook that throws is guarded.
        {"terminate twice from a worker, after a hook that throws",
         [](RecordingApp& app) {
             std::thread([&app] {
                 app.terminate();
                 app.terminate();
             }).detach();
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The child's stdout, which gets the trace, is a memory file the parent reads.
        const int out = ::memfd_create("trace", MFD_CLOEXEC);
        const int status = vt::runInChild([&] {
            ::dup2(out, 1);
            auto* app = new RecordingApp;
            app->afterLaunch = c.afterLaunch;
            app->throwInWillFinish = c.throwInWillFinish;
            auto& center = pf::NotificationCenter::defaultCenter();
            for (const char* name : {"NSApplicationWillFinishLaunchingNotification",
                                     "NSApplicationDidFinishLaunchingNotification",
                                     "NSApplicationWillTerminateNotification"}) {
                center.addObserver(name, nullptr, [app, name](const pf::Notification&) {
                    app->trace += std::string(name).substr(13, 4) + "Note ";
                });
            }
            VDApplication::setArgumentArray({"/bin/app", "-x", "1"});
            app->main(0, nullptr);
            return 7; // not reached: terminate exits with 0
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(vt::readFile("/proc/self/fd/" + std::to_string(out)),
                  "willHook WillNote didHook DidFNote WillNote termHook \n");
        ::close(out);
    }
}

TEST(ExceptionConvention, LogLinesCarryTheCallStackText) {
    vt::LogCapture capture;
    EXPECT_FALSE(VDGuard(42, [] { pf::raise(pf::NSInvalidArgumentException, "nil @ 21!"); }));
    EXPECT_FALSE(VDGuardNamed("installHandler__block_invoke", 59,
                              [] { pf::raise(pf::NSInvalidArgumentException, "nil @ 69!"); }));
    EXPECT_TRUE(VDGuard(1, [] {}));
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Exception @ 42: nil @ 21! Backtrace: (\n    0x", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("installHandler__block_invoke::59 Exception: nil @ 69! Backtrace: (", 0), 0u)
        << lines[1];
    // Other exception types are not the convention's business.
    EXPECT_THROW(VDGuard(3, [] { throw std::runtime_error("x"); }), std::runtime_error);

    // The call-stack text ends with the region start.
    try {
        pf::raise(pf::NSGenericException, "x");
    } catch (const pf::Exception& e) {
        const auto hex = [](unsigned long long v) { return pf::format("0x%llx", v); };
        std::vector<std::string> expected;
        for (auto address : e.callStackReturnAddresses()) expected.push_back(hex(address));
        expected.push_back(hex(vd_lowestMappedRegionStart()));
        EXPECT_GE(expected.size(), 4u);
        EXPECT_EQ(vd_formattedCallStackReturnAddresses(e), expected);
        EXPECT_NE(vd_lowestMappedRegionStart(), UINT64_MAX);
        // An exception that was never raised has no stack: the region start alone.
        EXPECT_EQ(vd_formattedCallStackReturnAddresses(pf::Exception(e.name(), e.reason())),
                  std::vector<std::string>{expected.back()});
    }
}

TEST(SupportFolders, ChecksOwnershipAndModeWithoutChangingAnything) {
    vt::TempDir shared, user;
    ::setenv("VICAR_SHARED_SUPPORT_DIR", shared.path().c_str(), 1);
    ::setenv("VICAR_USER_SUPPORT_DIR", user.path().c_str(), 1);
    constexpr uid_t kNobody = 65534, kNoSuchUser = 54321; // the latter has no home to search
    const struct Case {
        const char* name;
        bool shared;
        unsigned mode;
        uid_t owner;
        uid_t runAs;
        const char* expectedFragment; // nullptr: no message
    } cases[] = {
        {"0600 lacks x", true, 0600, 0, 0, "Support path has unexpected permissions! 384"},
        {"shared, as a user: no ownership check", true, 0755, 0, kNobody, nullptr},
        {"per-user owned by other, as root: no check", false, 0755, kNobody, 0, nullptr},
        {"per-user owned by other, as a user", false, 0755, 0, kNobody, "Support path is not owned by us! 0 != 65534"},
        {"per-user folder not found", false, 0755, 0, kNoSuchUser, "Support path is not accessible! ()"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int status = vt::runInChild([&] {
            vt::LogCapture capture;
            const std::string leaf = c.name; // a folder of its own for each case
            std::string folder = (c.shared ? shared : user) / leaf;
            ::mkdir(folder.c_str(), 0700);
            ::chmod(folder.c_str(), c.mode);
            ::chown(folder.c_str(), c.owner, c.owner);
            if (c.runAs == kNoSuchUser) {
                ::unsetenv("VICAR_USER_SUPPORT_DIR");
                ::unsetenv("XDG_DATA_HOME");
                folder.clear();
            }
            if (c.runAs) {
                ::chmod(shared.path().c_str(), 0755);
                ::chmod(user.path().c_str(), 0755);
                if (::setgid(c.runAs) != 0 || ::setuid(c.runAs) != 0) return 50;
            }
            VDApplication app;
            const std::string path = app.applicationSupportPathWithLeaf(&leaf, c.shared);
            if (path != folder) return 51;
            struct stat st {};
            if (!folder.empty() && (::stat(folder.c_str(), &st) != 0 || (st.st_mode & 07777) != c.mode)) return 52;
            const auto lines = capture.lines();
            if (!c.expectedFragment) return lines.empty() ? 0 : 53;
            return lines.size() == 1 && capture.contains(c.expectedFragment) ? 0 : 54;
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

} // namespace
