#include <gtest/gtest.h>

#include "ipc/VDIPCMessage.h"
#include "platform/foundation/Exception.h"
#include "server/Seal.h"
#include "server/VDSMJobServer.h"

namespace {

pf::Data bytes(std::string_view text) { return pf::Data(text.begin(), text.end()); }

TEST(Seal, KnownVectors) {
    struct Case {
        const char* packet;
        const char* name;
        std::uint64_t expected;
    };
    // FNV-1a-64 of "" is the offset basis, so equal packet and name cancel out.
    const Case cases[] = {
        {"a", "", 0xaf63dc4c8601ec8cULL ^ 0xcbf29ce484222325ULL},
        {"foobar", "", 0x85944171f73967e8ULL ^ 0xcbf29ce484222325ULL},
        {"", "a", 0xaf63dc4c8601ec8cULL ^ 0xcbf29ce484222325ULL},
        {"a", "a", 0},
        {"foobar", "a", 0x85944171f73967e8ULL ^ 0xaf63dc4c8601ec8cULL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.packet) + "/" + c.name);
        EXPECT_EQ(VDSealValue(bytes(c.packet), c.name), c.expected);
        const pf::Data seal = VDSealData(bytes(c.packet), c.name);
        ASSERT_EQ(seal.size(), 8u);
        std::uint64_t fromBytes = 0;
        for (int i = 7; i >= 0; --i) fromBytes = (fromBytes << 8) | seal[static_cast<size_t>(i)];
        EXPECT_EQ(fromBytes, c.expected); // least significant byte first
    }
}

TEST(Seal, HookSealsOutgoingAndChecksIncoming) {
    auto hook = VDSealHook("com.vandrelsys.VolumeSmith.vicar");
    const pf::Data packet = bytes("bplist00...");
    pf::Value slot;
    EXPECT_FALSE(hook(packet, slot).has_value()); // the packet goes out unchanged
    ASSERT_TRUE(slot.isData());
    EXPECT_EQ(slot.data(), VDSealData(packet, "com.vandrelsys.VolumeSmith.vicar"));

    struct Case {
        const char* name;
        pf::Value seal;
        bool accepted;
    };
    pf::Data flipped = slot.data();
    flipped[3] ^= 1;
    pf::Data longer = slot.data();
    longer.push_back(0);
    const Case cases[] = {
        {"matching seal", slot, true},
        {"one bit off", pf::Value(flipped), false},
        {"nine bytes", pf::Value(longer), false},
        {"seven bytes", pf::Value(pf::Data(slot.data().begin(), slot.data().end() - 1)), false},
        {"a string of eight bytes", pf::Value("12345678"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pf::Value seal = c.seal;
        auto result = hook(packet, seal);
        EXPECT_EQ(result.has_value(), c.accepted);
        if (c.accepted) EXPECT_EQ(*result, packet);
    }
}

TEST(JobServer, HandlersReplaceAndDispatchCountsEveryMessageAsActivity) {
    VDSMJobServer server;
    std::vector<std::string> seen;
    server.setHandler([](std::shared_ptr<VDIPCMessage>) { FAIL() << "replaced handler called"; }, "known");
    server.setHandler([&](std::shared_ptr<VDIPCMessage> m) { seen.push_back(*m->type()); }, "known");
    server.setHandler([](std::shared_ptr<VDIPCMessage>) { pf::raise(pf::NSGenericException, "boom"); }, "throws");
    server.dispatchMessage(VDIPCMessage::messageWithType("known"));
    server.dispatchMessage(VDIPCMessage::messageWithType("unknown"));
    server.dispatchMessage(VDIPCMessage::messageWithType("throws")); // logged, not propagated
    server.dispatchMessage(nullptr);
    EXPECT_EQ(seen, std::vector<std::string>{"known"});
    EXPECT_GE(VDSMJobServerLastActivity(), static_cast<std::int64_t>(std::time(nullptr)) - 1);
    server.setHandler(nullptr, "known");
    EXPECT_FALSE(server.handlerForMessageType("known"));
}

TEST(JobServer, TimeOutRules) {
    struct Case {
        const char* name;
        std::optional<pf::Dictionary> job;
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {"no job", std::nullopt, 10},
        {"no TimeOut", pf::Dictionary{{"Label", "x"}}, 10},
        {"one is off", pf::Dictionary{{"TimeOut", 1}}, std::nullopt},
        {"negative is off", pf::Dictionary{{"TimeOut", -5}}, std::nullopt},
        {"two", pf::Dictionary{{"TimeOut", 2}}, 2},
        {"real truncated", pf::Dictionary{{"TimeOut", 3.7}}, 3},
        {"numeric string", pf::Dictionary{{"TimeOut", "12"}}, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VDSMJobServer::idleTimeoutSeconds(c.job), c.expected);
    }
}

} // namespace
