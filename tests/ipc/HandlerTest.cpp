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

// A handler runs its block on its queue (without one, the default global
// queue) with the decoded message and the connection (no packet: a nil
// message); a block that raises is logged, and the next one runs.
TEST(Handler, RunsOnItsQueueWithTheMessage) {
    vt::LogCapture log;
    auto connection = std::make_shared<vt::LoopbackConnection>();
    const auto packet = VDIPCMessage::messageWithType("t")->packetData();
    vt::Event onDefaultQueue;
    auto byDefault = VDIPCHandler::initWithDelegate(nullptr, [&](std::shared_ptr<VDIPCMessage>) {
        if (Queue::current() == Queue::global(pf::dispatch::Priority::Default)) onDefaultQueue.signal();
    });
    byDefault->invokeWithConnection(connection, packet, nullptr, nullptr);
    EXPECT_TRUE(onDefaultQueue.wait());

    auto serial = Queue::serial("test.handler");
    std::atomic<int> calls{0};
    std::shared_ptr<Queue> ranOn;
    std::shared_ptr<VDIPCMessage> first = VDIPCMessage::init(), second;
    vt::Event done;
    auto handler = VDIPCHandler::initWithDelegate(serial, [&](std::shared_ptr<VDIPCMessage> m) {
        if (++calls == 1) {
            first = m;
            pf::raise(pf::NSInvalidArgumentException, "handler raised");
        }
        ranOn = Queue::current();
        second = std::move(m);
        done.signal();
    });
    handler->invokeWithConnection(connection, std::nullopt, nullptr, nullptr);
    handler->invokeWithConnection(connection, packet, nullptr, nullptr);
    ASSERT_TRUE(done.wait());
    EXPECT_FALSE(first) << "no packet: a nil message";
    EXPECT_TRUE(log.contains("Exception @"));
    EXPECT_TRUE(log.contains("handler raised"));
    EXPECT_EQ(ranOn, serial);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->type(), std::optional<std::string>("t"));
    EXPECT_EQ(second->connection(), connection);
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
