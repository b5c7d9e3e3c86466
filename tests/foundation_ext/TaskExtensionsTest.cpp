#include "foundation_ext/TaskExtensions.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

struct ScriptCase {
    const char* name;
    const char* body; // shell script run as the executable
    std::vector<std::string> arguments;
    std::string input;
    bool ignoreErrorOutput;
    std::int32_t status;
    std::string output;
};

TEST(TaskExtensions, RunsScriptsAndCollectsStatusAndOutput) {
    const std::string mib(1 << 20, 'x');
    const ScriptCase cases[] = {
        {"status 3", "echo bye; exit 3", {}, "", false, 3, "bye\n"},
        {"arguments kept whole", "printf '%s|' \"$@\"", {"a b", "", "*"}, "", false, 0, "a b||*|"},
        {"error merged", "echo out; echo err >&2", {}, "", false, 0, "out\nerr\n"},
        {"1 MiB of error ignored", "head -c 1048576 /dev/zero >&2; echo done", {}, "", true, 0, "done\n"},
        {"1 MiB in and out at once", "cat", {}, mib, false, 0, mib},
        {"input never read", "exit 0", {}, mib, false, 0, ""},
        {"killed by a signal", "kill -9 $$", {}, "", false, 9, ""},
    };
    vt::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string script = dir / "script";
        vt::writeFile(script, std::string("#!/bin/sh\n") + c.body + "\n", 0755);
        std::int32_t status = -100;
        pf::Data output;
        ASSERT_TRUE(runTaskAtPath(script, c.arguments, pf::Data(c.input.begin(), c.input.end()), &status, &output,
                                  c.ignoreErrorOutput));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(std::string(output.begin(), output.end()), c.output);
    }
}

TEST(TaskExtensions, StartsOnlyExecutableFilesAndDecodesTheirOutput) {
    vt::TempDir dir;
    vt::writeFile(dir / "plain", "#!/bin/sh\necho no\n", 0644);
    for (const std::string& path : {dir / "missing", dir / "plain", dir.path(), std::string()}) {
        SCOPED_TRACE(path);
        std::int32_t status = -100;
        pf::Data output{1, 2};
        EXPECT_FALSE(runTaskAtPath(path, {}, {}, &status, &output));
        EXPECT_EQ(status, -100);
        EXPECT_EQ(output, (pf::Data{1, 2}));
        EXPECT_EQ(outputDataForTaskAtPath(path, {}), std::nullopt);
        EXPECT_EQ(outputStringForTaskAtPath(path), "");
    }
    // The string form of what did run: UTF-8 decoded, "" for nothing, nil when not UTF-8.
    const std::string script = dir / "script";
    vt::writeFile(script, "#!/bin/sh\nprintf \"$1\"\n", 0755);
    using Args = std::vector<std::string>;
    EXPECT_EQ(outputStringForTaskAtPath(script, Args{"\xc3\xa9t\xc3\xa9"}), "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(outputStringForTaskAtPath(script, Args{""}), "");
    EXPECT_EQ(outputStringForTaskAtPath(script, Args{"\\377"}), std::nullopt);
}

} // namespace
