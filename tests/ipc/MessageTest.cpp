// Message operations: store and remove, localized names, out-of-band entries,
// types, errors, invalid packets, and all of it from several threads. (Replies
// and copies are checked where they travel: the transport and connection-core
// tests; packets against plistlib.)
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ipc/VDIPCMessage.h"
#include "platform/foundation/PropertyList.h"

namespace {

TEST(Message, StoreOperations) {
    auto m = VDIPCMessage::init();
    const auto entriesAre = [&](pf::Dictionary d) { EXPECT_EQ(pf::Value(m->entries()), pf::Value(d)); };
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
    EXPECT_EQ(VDIPCMessage::message()->type(), std::optional<std::string>(""));

    const pf::Error first(pf::NSPOSIXErrorDomain, 88, {{pf::NSURLErrorFailingURLStringErrorKey, "file:///b/"}});
    m->setError(first);
    m->setError(std::nullopt);
    EXPECT_EQ(m->error(), std::optional<pf::Error>(first)) << "setting no error keeps the existing one";
    for (const pf::Value& junk : {pf::Value("text"), pf::Value(pf::Data{1, 2, 3}), pf::Value(5)}) {
        m->setObject(junk, "_err_");
        EXPECT_FALSE(m->error()) << junk.description();
    }
}

TEST(Message, InvalidPacketData) {
    const std::pair<const char*, std::optional<pf::Data>> cases[] = {
        {"no data", std::nullopt},
        {"an array", pf::binaryPropertyList(pf::Value(pf::Array{1, 2}))},
        {"garbage", pf::Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 1, 2, 3}},
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
    EXPECT_EQ(m->type(), std::optional<std::string>("t"));
}

} // namespace
