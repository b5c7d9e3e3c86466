#include <gtest/gtest.h>

#include "ipc/VDIPCMessage.h"
#include "platform/foundation/Exception.h"
#include "server/Seal.h"
#include "server/VDSMJobServer.h"

namespace {

pf::Data bytes(std::string_view text) { return pf::Data(text.begin(), text.end()); }

TEST(Seal, KnownVectors) {
    // packet, service name, seal. FNV-1a-64 of "" is the offset basis, so
    // equal packet and name cancel out.
    const std::tuple<const char*, const char*, std::uint64_t> cases[] = {
        {"a", "", 0xaf63dc4c8601ec8cULL ^ 0xcbf29ce484222325ULL},
        {"foobar", "", 0x85944171f73967e8ULL ^ 0xcbf29ce484222325ULL},
        {"a", "a", 0},
        {"foobar", "a", 0x85944171f73967e8ULL ^ 0xaf63dc4c8601ec8cULL},
    };
    for (const auto& [packet, name, expected] : cases) {
        SCOPED_TRACE(std::string(packet) + "/" + name);
        EXPECT_EQ(VDSealValue(bytes(packet), name), expected);
        pf::Data leastSignificantFirst;
        for (int i = 0; i < 8; ++i) leastSignificantFirst.push_back(static_cast<std::uint8_t>(expected >> (8 * i)));
        EXPECT_EQ(VDSealData(bytes(packet), name), leastSignificantFirst);
    }
}

TEST(Seal, HookSealsOutgoingAndChecksIncoming) {
    auto hook = VDSealHook("com.vandrelsys.VolumeSmith.vicar");
    const pf::Data packet = bytes("bplist00...");
    pf::Value slot;
    EXPECT_FALSE(hook(packet, slot).has_value()); // the packet goes out unchanged
    ASSERT_TRUE(slot.isData());
    EXPECT_EQ(slot.data(), VDSealData(packet, "com.vandrelsys.VolumeSmith.vicar"));
    pf::Value matching = slot;
    EXPECT_EQ(hook(packet, matching), std::optional<pf::Data>(packet));

    pf::Data flipped = slot.data();
    flipped[3] ^= 1;
    pf::Data longer = slot.data();
    longer.push_back(0);
    const std::pair<const char*, pf::Value> refused[] = {
        {"one bit off", pf::Value(flipped)},
        {"nine bytes", pf::Value(longer)},
        {"seven bytes", pf::Value(pf::Data(slot.data().begin(), slot.data().end() - 1))},
        {"a string of eight bytes", pf::Value("12345678")},
    };
    for (const auto& [name, value] : refused) {
        SCOPED_TRACE(name);
        pf::Value seal = value;
        EXPECT_FALSE(hook(packet, seal).has_value());
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
    // name, job, idle time-out in seconds (none: no idle exit)
    const std::tuple<const char*, std::optional<pf::Dictionary>, std::optional<std::int64_t>> cases[] = {
        {"no job", std::nullopt, 10},
        {"no TimeOut", pf::Dictionary{{"Label", "x"}}, 10},
        {"one is off", pf::Dictionary{{"TimeOut", 1}}, std::nullopt},
        {"two", pf::Dictionary{{"TimeOut", 2}}, 2},
        {"numeric string", pf::Dictionary{{"TimeOut", "12"}}, 12},
    };
    for (const auto& [name, job, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(VDSMJobServer::idleTimeoutSeconds(job), expected);
    }
}

} // namespace
