// The connection core without a transport: what reaches send, how received
// envelopes are routed, the envelope hook, death and its notification.
#include <gtest/gtest.h>

#include <atomic>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "tests/ipc/LoopbackConnection.h"
#include "tests/support/TestSupport.h"

namespace {

using vt::Inbox;
using vt::LoopbackConnection;

std::shared_ptr<LoopbackConnection> serviceConnection(Inbox& inbox) {
    auto c = std::make_shared<LoopbackConnection>();
    c->context()->setServerHandler(VDIPCHandler::initWithDelegate(nullptr, inbox.block()));
    return c;
}

std::shared_ptr<const VDIPCMessage> sourceOf(const std::shared_ptr<VDIPCMessage>& record) {
    return std::dynamic_pointer_cast<const VDIPCMessage>(record->objectForKey("__sm_").object());
}

// Lets the main queue run what was posted to it so far (the died
// notifications), so that nothing of one test reaches the next.
void drainMainQueue() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    pf::dispatch::Queue::main()->async([done] { *done = true; });
    EXPECT_TRUE(vt::runMainLoopUntil([done] { return done->load(); }));
}

// What reaches the transport: the message as it was at the call, with a
// handler only for a client's request with a reply block. A service never
// waits for replies, and a dead connection sends nothing.
TEST(ConnectionCore, WhatReachesSendAndDeath) {
    Inbox inbox, replies;
    auto client = std::make_shared<LoopbackConnection>();
    EXPECT_EQ(client->timeout(), 5.0);
    auto message = VDIPCMessage::messageWithType("VDinstall");
    message->setObject(pf::Value("file:///a/"), "VDurl");
    client->sendMessage(message, inbox.block());
    message->setObject(pf::Value("file:///changed/"), "VDurl");
    client->sendMessage(message);
    ASSERT_TRUE(client->records.waitFor(2));
    for (auto& record : client->records.items()) {
        const char* url = record->objectForKey("__h_").isObject() ? "file:///a/" : "file:///changed/";
        auto packet = client->decodeMessage(record->objectForKey("__d_").data());
        ASSERT_TRUE(packet);
        EXPECT_EQ(VDIPCMessage::initWithPacketData(packet)->objectForKey("VDurl"), pf::Value(url));
    }

    auto service = serviceConnection(inbox);
    service->sendMessage(VDIPCMessage::messageWithType("request"), replies.block());
    // Death, from any thread, is announced on the main thread, and messages
    // forget the dead connection (only that one).
    auto dead = std::make_shared<LoopbackConnection>();
    auto mine = VDIPCMessage::init(), theirs = VDIPCMessage::init();
    mine->setConnection(dead);
    theirs->setConnection(client);
    std::atomic<bool> announced{false}, onMain{false};
    auto& center = pf::NotificationCenter::defaultCenter();
    auto observer = center.addObserver("VDIPCConnectionDiedNotification", nullptr, [&](const pf::Notification& n) {
        if (n.object.get() != static_cast<const VDIPCConnection*>(dead.get())) return;
        onMain = pf::dispatch::isMainThread();
        announced = true;
    });
    std::thread([&] { dead->connectionDied(); }).join();
    EXPECT_TRUE(vt::runMainLoopUntil([&] { return announced.load(); }));
    center.removeObserver(observer);
    EXPECT_TRUE(onMain);
    EXPECT_TRUE(dead->isDead());
    EXPECT_FALSE(mine->connection());
    EXPECT_EQ(theirs->connection(), client);
    dead->sendMessage(VDIPCMessage::messageWithType("x"), replies.block());
    dead->sendMessage(VDIPCMessage::messageWithType("x"));
    // Once the service's one-way message is there, the refused ones (dropped
    // before anything was queued) can no longer appear.
    service->sendMessage(VDIPCMessage::messageWithType("oneway"));
    ASSERT_TRUE(service->records.waitFor(1));
    ASSERT_EQ(service->records.items().size(), 1u);
    auto sent = sourceOf(service->records.items()[0]);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->type(), std::optional<std::string>("oneway"));
    EXPECT_TRUE(dead->records.items().empty());
    EXPECT_TRUE(replies.items().empty());
    drainMainQueue();
}

TEST(ConnectionCore, RoutingOfReceivedEnvelopes) {
    vt::LogCapture log;
    Inbox requests, replies;
    auto service = serviceConnection(requests);
    auto client = std::make_shared<LoopbackConnection>();
    auto envelope = client->encodedMessage(VDIPCMessage::messageWithType("VDresponse"));
    ASSERT_TRUE(envelope);

    // A request: to the server handler, with the connection set.
    service->handleMessageData(envelope, nullptr);
    ASSERT_TRUE(requests.waitFor(1) && requests.items()[0]);
    EXPECT_EQ(requests.items()[0]->type(), std::optional<std::string>("VDresponse"));
    EXPECT_EQ(requests.items()[0]->connection(), service);

    // A reply: to the record's handler only.
    auto record = VDIPCMessage::init();
    record->setObject(pf::Value(pf::ObjectPtr(VDIPCHandler::initWithDelegate(nullptr, replies.block()))), "__h_");
    client->handleMessageData(envelope, record);
    ASSERT_TRUE(replies.waitFor(1));
    EXPECT_EQ(replies.items()[0]->connection(), client);

    // A transport failure and undecodable bytes: a nil message.
    client->handleMessageData(std::nullopt, record);
    client->handleMessageData(pf::Data{'j', 'u', 'n', 'k'}, record);
    ASSERT_TRUE(replies.waitFor(3));
    EXPECT_FALSE(replies.items()[1] || replies.items()[2]);
    EXPECT_TRUE(log.waitFor("ipc: unexpected message type"));
    EXPECT_TRUE(log.waitFor("ipc: failed to decode message"));

    // No handler at all: a request on a client, a reply to a one-way send.
    client->handleMessageData(envelope, nullptr);
    client->handleMessageData(envelope, VDIPCMessage::init());
    // Dead: dropped before decoding.
    service->connectionDied();
    service->handleMessageData(envelope, nullptr);
    client->handleMessageData(envelope, record); // a marker that the earlier ones are through
    ASSERT_TRUE(replies.waitFor(4));
    EXPECT_EQ(requests.items().size(), 1u);
    drainMainQueue();
}

TEST(ConnectionCore, EnvelopeHook) {
    // Seals with the packet's length; accepts only that seal.
    const auto seal = [](const std::optional<pf::Data>& packet, pf::Value& s) -> std::optional<pf::Data> {
        const pf::Data expected{static_cast<std::uint8_t>(packet ? packet->size() : 0)};
        if (s.isNull())
            s = pf::Value(expected);
        else if (s.isData() && s.data() == expected)
            return packet;
        return std::nullopt;
    };
    const VDIPCEnvelopeHook rejectAll = [](const auto&, auto&) -> std::optional<pf::Data> { return std::nullopt; };
    const VDIPCEnvelopeHook raise = [](const auto&, auto&) -> std::optional<pf::Data> {
        pf::raise(pf::NSGenericException, "hook failed");
    };
    auto message = VDIPCMessage::messageWithType("t");
    const pf::Data packet = *message->packetData();
    auto sealer = std::make_shared<LoopbackConnection>();
    sealer->setAerrorHandler(seal);
    const auto sealed = sealer->encodedMessage(message);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(pf::propertyListFromBytes(*sealed),
              std::optional<pf::Value>(pf::Dictionary{
                  {"__d_", packet}, {"__s_", pf::Data{static_cast<std::uint8_t>(packet.size())}}}));
    const auto unsealed = std::make_shared<LoopbackConnection>()->encodedMessage(message);
    // A hook that answers when sending replaces the packet; a message that
    // cannot be written leaves an empty envelope.
    sealer->setAerrorHandler([](const auto&, auto&) -> std::optional<pf::Data> { return pf::Data{'z'}; });
    EXPECT_EQ(pf::propertyListFromBytes(sealer->encodedMessage(message).value()),
              std::optional<pf::Value>(pf::Dictionary{{"__d_", pf::Data{'z'}}}));
    auto unwritable = VDIPCMessage::message();
    unwritable->setObject(pf::Value(pf::ObjectPtr(std::make_shared<pf::Object>())), "k");
    EXPECT_EQ(pf::propertyListFromBytes(std::make_shared<LoopbackConnection>()->encodedMessage(unwritable).value()),
              std::optional<pf::Value>(pf::Dictionary{}));

    struct Case {
        const char* name;
        VDIPCEnvelopeHook receiverHook;
        std::optional<pf::Data> envelope;
        bool accepted;
    };
    const Case cases[] = {
        {"matching seal", seal, sealed, true},
        {"seal but no hook", nullptr, sealed, false},
        {"hook rejects the seal", rejectAll, sealed, false},
        {"hook raises: logged, and the handler hears of it", raise, sealed, false},
        {"no seal: taken whatever the hook", rejectAll, unsealed, true},
        {"not a dictionary", nullptr, pf::binaryPropertyList(pf::Value(pf::Array{"x"})), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vt::LogCapture log;
        Inbox inbox;
        auto receiver = serviceConnection(inbox);
        receiver->setAerrorHandler(c.receiverHook);
        receiver->handleMessageData(c.envelope, nullptr);
        ASSERT_TRUE(inbox.waitFor(1));
        EXPECT_EQ(log.contains("ipc: failed to decode message"), !c.accepted);
        const auto received = inbox.items()[0];
        EXPECT_EQ(received ? received->type().value_or("") : "nil", c.accepted ? "t" : "nil");
    }
}

} // namespace
