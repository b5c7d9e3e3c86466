// Message operations: store and remove, localized names, out-of-band entries,
// types, errors, replies, copies and packets.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ipc/VDIPCMessage.h"
#include "platform/foundation/PropertyList.h"

namespace {

using Type = std::optional<std::string>;

struct Opaque : pf::Object {};

pf::Value opaque() { return pf::Value(pf::ObjectPtr(std::make_shared<Opaque>())); }

TEST(Message, StoreOperations) {
    auto m = VDIPCMessage::init();
    const auto entriesAre = [&](pf::Dictionary expected) { EXPECT_EQ(pf::Value(m->entries()), pf::Value(expected)); };
    m->setObject(pf::Value(1), "k", std::string("Name"));
    m->setObject(pf::Value(2), "k");
    entriesAre({{"k", 2}, {"_k_l9d_", "Name"}}); // set again without name: the old name stays
    m->setObject(pf::Value(3), "other");
    m->setObject(pf::Value(), "k");
    m->setObject(pf::Value(), "absent");
    entriesAre({{"other", 3}}); // null removes value and name
    m->setOOBObject(pf::Value("o"), "Xc");
    m->setType("VDinstall");
    entriesAre({{"other", 3}, {"__ob_Xc_", "o"}, {"_tY", "VDinstall"}});
}

TEST(Message, TypesAndErrors) {
    auto m = VDIPCMessage::init();
    EXPECT_FALSE(m->type()) << "a plain message has no type";
    m->setObject(pf::Value(7), "_tY");
    EXPECT_FALSE(m->type()) << "a non-string type reads as none";
    EXPECT_EQ(VDIPCMessage::message()->type(), Type(""));

    const pf::Error first(pf::NSPOSIXErrorDomain, 88, {{pf::NSURLErrorFailingURLStringErrorKey, "file:///b/"}});
    m->setError(first);
    m->setError(std::nullopt);
    EXPECT_EQ(m->error(), std::optional<pf::Error>(first)) << "setting no error keeps the existing one";
    for (const pf::Value& junk : {pf::Value("text"), pf::Value(pf::Data{1, 2, 3}), pf::Value(5)}) {
        m->setObject(junk, "_err_");
        EXPECT_FALSE(m->error()) << junk.description();
    }
}

TEST(Message, RepliesAndCopies) {
    auto context = std::make_shared<Opaque>();
    auto request = VDIPCMessage::messageWithType("VDinstall");
    request->setObject(pf::Value("file:///x/"), "VDurl", std::string("URL"));
    request->setError(pf::Error(pf::NSPOSIXErrorDomain, 1));
    request->setObject(pf::Value(pf::ObjectPtr(context)), "__ob_Xc_");

    // A reply keeps only the out-of-band entries, and names the request's type.
    auto reply = VDIPCMessage::replyToMessage(request, "VDresponse");
    const pf::Dictionary expected{{"_tY", "VDresponse"}, {"_rtY", "VDinstall"}, {"__ob_Xc_", pf::ObjectPtr(context)}};
    EXPECT_EQ(pf::Value(reply->entries()), pf::Value(expected));
    EXPECT_EQ(VDIPCMessage::replyToMessage(request)->type(), Type(""));
    EXPECT_EQ(request->objectForKey("VDurl"), pf::Value("file:///x/")) << "the request is untouched";

    // A copy shares the objects but not later changes.
    auto copy = request->copy();
    request->setObject(pf::Value("later"), "k");
    EXPECT_TRUE(copy->objectForKey("k").isNull());
    EXPECT_EQ(copy->objectForKey("__ob_Xc_").object().get(), context.get());
}

// The packet is the property list of the other entries (every kind of value
// is the property-list writer's own business).
TEST(Message, PacketsLeaveOutOfBandEntriesOut) {
    auto m = VDIPCMessage::messageWithType("VDinstall");
    m->setOOBObject(opaque(), "a");
    m->setObject(pf::Value("x"), "__ob_raw");
    m->setObject(pf::Value(pf::Array{1, "two"}), "a");
    const pf::Value expected(pf::Dictionary{{"_tY", "VDinstall"}, {"a", pf::Array{1, "two"}}});
    ASSERT_TRUE(m->packetData());
    EXPECT_EQ(pf::propertyListFromBytes(*m->packetData()), std::optional<pf::Value>(expected));
    EXPECT_EQ(pf::Value(VDIPCMessage::initWithPacketData(m->packetData())->entries()), expected);
    m->setObject(opaque(), "k");
    EXPECT_FALSE(m->packetData()) << "an object under an ordinary key cannot be written";
}

TEST(Message, InvalidPacketData) {
    const std::pair<const char*, std::optional<pf::Data>> cases[] = {
        {"no data", std::nullopt},
        {"an array", pf::binaryPropertyList(pf::Value(pf::Array{1, 2}))},
        {"garbage", pf::Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 1, 2, 3}},
        {"empty", pf::Data{}},
    };
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        auto m = VDIPCMessage::initWithPacketData(data);
        EXPECT_EQ(m->error(), std::optional<pf::Error>(pf::Error(pf::NSPOSIXErrorDomain, 22,
                                                                 {{pf::NSLocalizedDescriptionKey,
                                                                   "The message data was invalid."}})));
        EXPECT_EQ(m->entries().size(), 1u) << "only the error";
    }
}

TEST(Message, ConcurrentReadersAndWriters) {
    auto m = VDIPCMessage::messageWithType("t");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([m, t] {
            const std::string key = "k" + std::to_string(t);
            for (int i = 0; i < 2000; ++i) {
                m->setObject(pf::Value(i), key, std::string("n"));
                EXPECT_FALSE(m->objectForKey(key).isNull());
                (void)m->packetData();
                if (i % 7 == 0) m->setObject(pf::Value(), key);
                (void)m->copy();
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(m->type(), Type("t"));
}

} // namespace
