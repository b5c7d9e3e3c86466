// Handlers run on their queue with the decoded message; message contexts
// follow the message into copies and replies and finalize exactly once.
#include <gtest/gtest.h>

#include <atomic>

#include "ipc/VDIPCHandler.h"
#include "ipc/VDIPCMessage.h"
#include "ipc/VDIPCMessageContext.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Exception.h"
#include "tests/ipc/LoopbackConnection.h"
#include "tests/support/TestSupport.h"

namespace {

using pf::dispatch::Queue;

TEST(Handler, RunsOnItsQueueWithTheMessage) {
    auto serial = Queue::serial("test.handler");
    const std::pair<const char*, std::shared_ptr<Queue>> cases[] = {
        {"no queue: the default global queue", nullptr},
        {"a serial queue", serial},
    };
    auto connection = std::make_shared<vt::LoopbackConnection>();
    const auto packet = VDIPCMessage::messageWithType("t")->packetData();
    for (const auto& [name, given] : cases) {
        SCOPED_TRACE(name);
        const auto expected = given ? given : Queue::global(pf::dispatch::Priority::Default);
        std::shared_ptr<Queue> ranOn;
        std::shared_ptr<VDIPCMessage> received;
        vt::Event done;
        auto handler = VDIPCHandler::initWithDelegate(given, [&](std::shared_ptr<VDIPCMessage> m) {
            ranOn = Queue::current();
            received = std::move(m);
            done.signal();
        });
        handler->invokeWithConnection(connection, packet, nullptr, nullptr);
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(ranOn, expected);
        ASSERT_TRUE(received);
        EXPECT_EQ(received->type(), std::optional<std::string>("t"));
        EXPECT_EQ(received->connection(), connection);
    }
}

TEST(Handler, NilPacketAndRaisingBlocks) {
    vt::LogCapture log;
    std::atomic<int> calls{0};
    vt::Event second;
    std::shared_ptr<VDIPCMessage> firstMessage = VDIPCMessage::init();
    auto handler = VDIPCHandler::initWithDelegate(Queue::serial("test.handler.raise"), [&](auto m) {
        if (++calls == 1) {
            firstMessage = m;
            pf::raise(pf::NSInvalidArgumentException, "handler raised");
        }
        second.signal();
    });
    handler->invokeWithConnection(nullptr, std::nullopt, nullptr, nullptr);
    handler->invokeWithConnection(nullptr, std::nullopt, nullptr, nullptr);
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(firstMessage) << "no packet: a nil message";
    EXPECT_TRUE(log.contains("Exception @"));
    EXPECT_TRUE(log.contains("handler raised"));
}

TEST(MessageContext, FinalizesOnceWhenTheLastHolderGoes) {
    std::atomic<int> finalized{0};
    vt::Event finalizedOnce;
    int payload = 42;
    auto context = VDIPCMessageContext::initWithContext(&payload, [&] {
        ++finalized;
        finalizedOnce.signal();
    });
    context->setName("__ob_Xc_");

    vt::Event delivered;
    std::shared_ptr<VDIPCMessage> request;
    auto handler = VDIPCHandler::initWithDelegate(nullptr, [&](std::shared_ptr<VDIPCMessage> m) {
        request = std::move(m);
        delivered.signal();
    });
    handler->invokeWithConnection(nullptr, VDIPCMessage::messageWithType("VDinstall")->packetData(), context, nullptr);
    context.reset();
    ASSERT_TRUE(delivered.wait());
    ASSERT_TRUE(request);
    EXPECT_EQ(std::dynamic_pointer_cast<const VDIPCMessageContext>(request->objectForKey("__ob_Xc_").object())->context(),
              &payload);

    auto copy = VDIPCMessage::replyToMessage(request, "VDresponse")->copy();
    request.reset();
    EXPECT_EQ(finalized, 0) << "a copy of the reply still holds it";
    copy.reset();
    // The delivering task may let go of its reference a moment after the block ran.
    ASSERT_TRUE(finalizedOnce.wait());
    EXPECT_EQ(finalized, 1);
}

} // namespace
