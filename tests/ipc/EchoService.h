#pragma once
// The echo service that both transport tests run in a child process (role
// "echoService" of EchoService.cpp, argument "xpc" or "mach"), and the calls
// the tests make to it.
// Its answers echo the request's "n" and count the one-way messages it got
// ("oneWays"); the role says what each request type does besides.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCMessage.h"
#include "tests/support/TestSupport.h"

namespace vt {

inline constexpr const char* kEchoService = "com.vandrelsys.test.ipc";

inline std::shared_ptr<VDIPCMessage> request(const std::string& type, std::int64_t n = 0) {
    auto message = VDIPCMessage::messageWithType(type);
    message->setObject(pf::Value(n), "n");
    return message;
}

// Sends and waits (watchdog 20 s) for the reply block: the reply, or nullptr;
// *called tells whether the block ran at all.
inline std::shared_ptr<VDIPCMessage> call(const std::shared_ptr<VDIPCConnection>& connection,
                                          std::shared_ptr<VDIPCMessage> message, bool* called = nullptr) {
    auto done = std::make_shared<Event>();
    auto reply = std::make_shared<std::shared_ptr<VDIPCMessage>>();
    connection->sendMessage(std::move(message), [done, reply](std::shared_ptr<VDIPCMessage> answer) {
        *reply = std::move(answer);
        done->signal();
    });
    const bool arrived = done->wait(std::chrono::seconds(20));
    if (called) *called = arrived;
    return arrived ? *reply : nullptr;
}

// The reply's entry under the key ("n" echoes the request's), -1 without reply.
inline std::int64_t ask(const std::shared_ptr<VDIPCConnection>& connection, const std::string& type,
                        std::int64_t n = 0, const char* key = "n") {
    auto reply = call(connection, request(type, n));
    return reply ? reply->objectForKey(key).integer() : -1;
}

// Requests may overtake one another: asks until the service's entry reaches
// the value (watchdog 10 s), and answers the last value seen.
inline std::int64_t askUntil(const std::shared_ptr<VDIPCConnection>& connection, const char* key,
                             std::int64_t value) {
    std::int64_t seen = -1;
    for (int attempt = 0; attempt < 1000 && seen != value; ++attempt) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if ((seen = ask(connection, "echo", 0, key)) < 0) return -1;
    }
    return seen;
}

} // namespace vt
