#include <gtest/gtest.h>

#include "app/VDApplication.h"

namespace {

pf::Array args(std::initializer_list<const char*> list) {
    pf::Array a{"/usr/libexec/vicar"};
    for (const char* s : list) a.emplace_back(s);
    return a;
}

struct OptionsCase {
    const char* name;
    pf::Array arguments;
    pf::Dictionary expected;
    bool parses = true;
};

TEST(Options, ParsesTheDocumentedSequences) {
    const OptionsCase cases[] = {
        {"empty array", pf::Array{}, {}},
        {"flag then flag with value", args({"-a", "-b", "x"}), {{"a", "a"}, {"b", "x"}}},
        {"spaced equals", args({"-a", "=", "5"}), {{"a", "5"}}},
        {"dangling equals", args({"-a", "="}), {}},
        {"pair then flag", args({"x=1", "-y"}), {{"x", "1"}, {"y", "y"}}},
        {"bare word ends", args({"file", "-y"}), {}},
        {"double dash ends", args({"--", "-y"}), {}},
        {"value keeps equals", args({"k=a=b"}), {{"k", "a=b"}}},
        {"empty value stored, bare word ends", args({"-k=", "v", "-z"}), {{"k", ""}}},
        {"dashes trimmed at the ends only", args({"--a-b"}), {{"a-b", "a-b"}}},
        {"key trimmed of blanks and dashes", args({" -k- = v "}), {{"k", "v"}}},
        // The whole Unicode white-space-and-newline set, not only ASCII.
        {"value trimmed of Unicode spaces",
         args({"-n", "\u00a0\u2028\u0085v\u00a0w\u2000\u200a\u2029\u3000", "-m=\u3000x\u202f"}),
         {{"n", "v\u00a0w"}, {"m", "x"}}},
        {"key trimmed of Unicode spaces", args({"\u2003-k\u00a0=1"}), {{"k", "1"}}},
        {"zero-width space is no blank", args({"-z", "\u200bz"}), {{"z", "\u200bz"}}},
        {"an argument that is no string", pf::Array{"/bin/x", 5}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto expected = c.parses ? std::optional(c.expected) : std::nullopt;
        EXPECT_EQ(VDApplication::parseOptions(c.arguments), expected);
    }
}

} // namespace
