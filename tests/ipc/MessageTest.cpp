// Message operations: store and remove, localized names, out-of-band entries,
// types, errors, replies, copies and packets.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ipc/VDIPCMessage.h"
#include "platform/foundation/PropertyList.h"

namespace {

struct Opaque : pf::Object {};

pf::Dictionary packetEntries(const VDIPCMessage& message) {
    auto packet = message.packetData();
    EXPECT_TRUE(packet.has_value());
    if (!packet) return {};
    auto parsed = pf::propertyListFromBytes(*packet);
    EXPECT_TRUE(parsed && parsed->isDictionary());
    return parsed && parsed->isDictionary() ? parsed->dictionary() : pf::Dictionary{};
}

struct StoreCase {
    const char* name;
    std::function<void(VDIPCMessage&)> act;
    pf::Dictionary expected; // every entry afterwards
};

TEST(Message, StoreOperations) {
    const pf::Value name("Bundle URL");
    const std::vector<StoreCase> cases = {
        {"plain set", [](VDIPCMessage& m) { m.setObject(pf::Value("x"), "k"); }, {{"k", "x"}}},
        {"set with name",
         [](VDIPCMessage& m) { m.setObject(pf::Value(1), "k", std::string("Name")); },
         {{"k", 1}, {"_k_l9d_", "Name"}}},
        {"set again without name keeps the old name",
         [](VDIPCMessage& m) {
             m.setObject(pf::Value(1), "k", std::string("Name"));
             m.setObject(pf::Value(2), "k");
         },
         {{"k", 2}, {"_k_l9d_", "Name"}}},
        {"null removes value and name",
         [](VDIPCMessage& m) {
             m.setObject(pf::Value(1), "k", std::string("Name"));
             m.setObject(pf::Value(2), "other");
             m.setObject(pf::Value(), "k");
         },
         {{"other", 2}}},
        {"removing an absent key is harmless", [](VDIPCMessage& m) { m.setObject(pf::Value(), "nope"); }, {}},
        {"out-of-band set", [](VDIPCMessage& m) { m.setOOBObject(pf::Value("o"), "Xc"); }, {{"__ob_Xc_", "o"}}},
        {"out-of-band null removes",
         [](VDIPCMessage& m) {
             m.setOOBObject(pf::Value("o"), "Xc");
             m.setOOBObject(pf::Value(), "Xc");
         },
         {}},
        {"type", [](VDIPCMessage& m) { m.setType("VDinstall"); }, {{"_tY", "VDinstall"}}},
        {"key-value coding writes entries",
         [](VDIPCMessage& m) { m.setValueForUndefinedKey(pf::Value(true), "VDuninstallHost"); },
         {{"VDuninstallHost", true}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto message = VDIPCMessage::init();
        c.act(*message);
        EXPECT_EQ(pf::Value(message->entries()), pf::Value(c.expected));
    }
}

TEST(Message, Readers) {
    auto m = VDIPCMessage::init();
    EXPECT_FALSE(m->type().has_value()) << "a plain message has no type";
    m->setObject(pf::Value(7), "_tY");
    EXPECT_FALSE(m->type().has_value()) << "a non-string type reads as none";
    m->setObject(pf::Value("u"), "VDurl", std::string("URL"));
    m->setOOBObject(pf::Value("ctx"), "Xc");
    EXPECT_EQ(m->objectForKey("VDurl"), pf::Value("u"));
    EXPECT_TRUE(m->objectForKey("absent").isNull());
    EXPECT_EQ(m->localizedNameForKey("VDurl"), pf::Value("URL"));
    EXPECT_EQ(m->OOBObjectForKey("Xc"), pf::Value("ctx"));
    EXPECT_EQ(m->valueForUndefinedKey("VDurl"), pf::Value("u"));
    EXPECT_EQ(VDIPCMessage::message()->type(), std::optional<std::string>(""));
    EXPECT_EQ(VDIPCMessage::messageWithType("t")->type(), std::optional<std::string>("t"));
}

TEST(Message, Errors) {
    const pf::Error first(pf::NSPOSIXErrorDomain, 88, {{pf::NSURLErrorFailingURLStringErrorKey, "file:///b/"}});
    auto m = VDIPCMessage::init();
    EXPECT_FALSE(m->error());
    m->setError(first);
    ASSERT_TRUE(m->error());
    EXPECT_EQ(*m->error(), first);
    m->setError(std::nullopt);
    ASSERT_TRUE(m->error()) << "setting no error keeps the existing one";
    EXPECT_EQ(*m->error(), first);

    for (const pf::Value& junk : {pf::Value("text"), pf::Value(pf::Data{1, 2, 3}), pf::Value(5)}) {
        m->setObject(junk, "_err_");
        EXPECT_FALSE(m->error()) << junk.description();
    }
}

TEST(Message, ReplyKeepsOnlyOutOfBandEntries) {
    auto context = std::make_shared<Opaque>();
    auto request = VDIPCMessage::messageWithType("VDinstall");
    request->setObject(pf::Value("file:///x/"), "VDurl", std::string("URL"));
    request->setError(pf::Error(pf::NSPOSIXErrorDomain, 1));
    request->setObject(pf::Value(pf::ObjectPtr(context)), "__ob_Xc_");

    auto reply = VDIPCMessage::replyToMessage(request, "VDresponse");
    EXPECT_EQ(reply->type(), std::optional<std::string>("VDresponse"));
    EXPECT_EQ(reply->objectForKey("_rtY"), pf::Value("VDinstall"));
    EXPECT_TRUE(reply->objectForKey("VDurl").isNull());
    EXPECT_TRUE(reply->localizedNameForKey("VDurl").isNull());
    EXPECT_FALSE(reply->error());
    EXPECT_EQ(reply->objectForKey("__ob_Xc_").object().get(), context.get());
    EXPECT_EQ(reply->entries().size(), 3u);
    EXPECT_FALSE(reply->connection());

    auto plain = VDIPCMessage::replyToMessage(request);
    EXPECT_EQ(plain->type(), std::optional<std::string>(""));
    // The request is untouched.
    EXPECT_EQ(request->objectForKey("VDurl"), pf::Value("file:///x/"));
}

TEST(Message, CopyIsShallowAndIndependent) {
    auto original = VDIPCMessage::messageWithType("t");
    auto object = std::make_shared<Opaque>();
    original->setObject(pf::Value(pf::ObjectPtr(object)), "__ob_o_");
    auto copy = original->copy();
    original->setObject(pf::Value("later"), "k");
    EXPECT_TRUE(copy->objectForKey("k").isNull());
    EXPECT_EQ(copy->objectForKey("__ob_o_").object().get(), object.get());
    EXPECT_EQ(copy->type(), std::optional<std::string>("t"));
}

TEST(Message, Packets) {
    struct Case {
        const char* name;
        std::function<void(VDIPCMessage&)> fill;
        bool writable;
        pf::Dictionary expected;
    };
    const std::vector<Case> cases = {
        {"only out-of-band entries give an empty dictionary",
         [](VDIPCMessage& m) {
             m.setOOBObject(pf::Value(pf::ObjectPtr(std::make_shared<Opaque>())), "a");
             m.setObject(pf::Value("x"), "__ob_raw");
         },
         true, {}},
        {"every kind of property-list value",
         [](VDIPCMessage& m) {
             m.setType("VDinstall");
             m.setObject(pf::Value(pf::Array{1, "two", 3.5, false}), "a");
             m.setObject(pf::Value(pf::Dictionary{{"n", -1015}}), "d");
             m.setObject(pf::Value(pf::Data{0, 255}), "b");
         },
         true,
         {{"_tY", "VDinstall"},
          {"a", pf::Array{1, "two", 3.5, false}},
          {"d", pf::Dictionary{{"n", -1015}}},
          {"b", pf::Data{0, 255}}}},
        {"an object under an ordinary key cannot be written",
         [](VDIPCMessage& m) { m.setObject(pf::Value(pf::ObjectPtr(std::make_shared<Opaque>())), "k"); }, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto m = VDIPCMessage::init();
        c.fill(*m);
        if (!c.writable) {
            EXPECT_FALSE(m->packetData());
            continue;
        }
        EXPECT_EQ(pf::Value(packetEntries(*m)), pf::Value(c.expected));
        // And back: a message made from the packet holds the same entries.
        auto back = VDIPCMessage::initWithPacketData(m->packetData());
        EXPECT_EQ(pf::Value(back->entries()), pf::Value(c.expected));
    }
}

TEST(Message, InvalidPacketData) {
    const std::vector<std::pair<const char*, std::optional<pf::Data>>> cases = {
        {"no data", std::nullopt},
        {"an array", pf::binaryPropertyList(pf::Value(pf::Array{1, 2}))},
        {"a string", pf::binaryPropertyList(pf::Value("x"))},
        {"garbage", pf::Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 1, 2, 3}},
        {"empty", pf::Data{}},
    };
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        auto m = VDIPCMessage::initWithPacketData(data);
        auto error = m->error();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), pf::NSPOSIXErrorDomain);
        EXPECT_EQ(error->code(), 22);
        EXPECT_EQ(error->localizedDescription(), "The message data was invalid.");
        EXPECT_FALSE(m->type());
        EXPECT_EQ(m->entries().size(), 1u) << "only the error";
    }
}

TEST(Message, ConcurrentReadersAndWriters) {
    auto m = VDIPCMessage::messageWithType("t");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([m, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::string key = "k" + std::to_string(t);
                m->setObject(pf::Value(i), key, std::string("n"));
                EXPECT_FALSE(m->objectForKey(key).isNull());
                (void)m->packetData();
                if (i % 7 == 0) m->setObject(pf::Value(), key);
                (void)m->copy();
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(m->type(), std::optional<std::string>("t"));
}

} // namespace
