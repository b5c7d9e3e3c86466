// Who a job runs as, and when a crashing job is held back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "platform/launchd/JobIdentity.h"
#include "platform/launchd/RestartThrottle.h"

namespace {

using pf::launchd::RestartThrottle;

TEST(JobIdentity, NamesResolveAndOnlyDifferencesSwitch) {
    ASSERT_EQ(::geteuid(), 0u) << "the tests run as root";
    struct Case {
        std::optional<std::string> user, group;
        bool switchUser, switchGroup;
        uid_t uid;
        gid_t gid;
        std::string why; // empty: it resolves
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, false, false, 0, 0, ""},
        {"root", "wheel", false, false, 0, 0, ""}, // no wheel on Linux: gid 0
        {"root", "nogroup", false, true, 0, 65534, ""},
        {"nobody", std::nullopt, true, false, 65534, 65534, ""}, // the user's own group
        {"nobody", "wheel", true, false, 65534, 0, ""},
        {"no-such-user-vicar", "wheel", false, false, 0, 0, "unknown user \"no-such-user-vicar\""},
        {"root", "no-such-group-vicar", false, false, 0, 0, "unknown group \"no-such-group-vicar\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user.value_or("-") + "/" + c.group.value_or("-"));
        pf::launchd::JobDescription job;
        job.label = "com.example.identity";
        job.userName = c.user;
        job.groupName = c.group;
        std::string why;
        const auto identity = pf::launchd::resolveJobIdentity(job, &why);
        ASSERT_EQ(identity.has_value(), c.why.empty());
        if (!identity) {
            EXPECT_EQ(why, c.why);
            continue;
        }
        EXPECT_EQ(std::tie(identity->switchUser, identity->switchGroup, identity->uid, identity->gid),
                  std::tie(c.switchUser, c.switchGroup, c.uid, c.gid));
        if (c.switchUser) {
            const auto& groups = identity->groups;
            EXPECT_NE(std::find(groups.begin(), groups.end(), c.gid), groups.end());
            // The starter's own groups never leak into the job's.
            EXPECT_EQ(std::find(groups.begin(), groups.end(), 0u) != groups.end(), c.gid == 0);
        }
    }
}

TEST(RestartThrottle, HoldsBackOnlyARunOfQuickFailures) {
    using std::chrono::seconds;
    const struct {
        const char* name;
        std::string runs; // q: a quick failure, c: a quick clean exit, l: a failure after 11 s
        bool throttled;
        int announcements; // endings that report the throttle
    } cases[] = {
        {"four quick failures", "qqqq", false, 0},
        {"five quick failures", "qqqqq", true, 1},
        {"seven quick failures", "qqqqqqq", true, 1},
        {"a clean exit lifts it", "qqqqqc", false, 1},
        {"a long run lifts it", "qqqqql", false, 1},
        {"a long run breaks the series", "qqqlqq", false, 0},
        {"clean idle exits never count", std::string(20, 'c'), false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RestartThrottle throttle;
        auto now = RestartThrottle::Clock::time_point{} + seconds(1000);
        RestartThrottle::Clock::time_point lastStart;
        int announced = 0;
        for (const char run : c.runs) {
            lastStart = now;
            throttle.started(now);
            now += run == 'l' ? seconds(11) : std::chrono::milliseconds(50);
            announced += throttle.ended(now, run != 'c');
        }
        EXPECT_EQ(throttle.nextStart(), c.throttled ? std::optional(lastStart + RestartThrottle::kThrottleInterval)
                                                    : std::nullopt);
        EXPECT_EQ(announced, c.announcements);
    }
}

} // namespace
