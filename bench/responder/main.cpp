// The least a service started on demand can do: take the socket the launcher
// hands over, accept one client, answer its first request by sending the
// request's payload back as the reply, and leave. Its first reply is the
// floor the daemon's cold start is measured against.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "bench/support/SocketBytes.h"
#include "platform/xpc/ServiceSocket.h"
#include "platform/xpc/Syscall.h"
#include "platform/xpc/Wire.h"

namespace {

constexpr const char* kLabel = "com.vandrelsys.bench.responder";

} // namespace

int main() {
    const int listener = pf::xpc::takeActivatedSocket(kLabel);
    if (listener < 0) return 1;
    // The handed-over socket is non-blocking: the one client is waited for.
    int client = -EAGAIN;
    for (int tries = 0; client == -EAGAIN && tries < 100; ++tries) {
        client = pf::xpc::sys::retry([&] { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); });
        pollfd ready{listener, POLLIN, 0};
        if (client == -EAGAIN) ::poll(&ready, 1, 100);
    }
    if (client < 0) return 1;
    std::vector<std::uint8_t> frame(pf::xpc::wire::kHeaderBytes);
    for (;;) {
        std::string why;
        if (!vb::readFully(client, frame.data(), pf::xpc::wire::kHeaderBytes)) return 1;
        const auto header = pf::xpc::wire::parseHeader(frame.data(), &why);
        if (!header) return 1;
        frame.resize(pf::xpc::wire::kHeaderBytes + header->length);
        if (!vb::readFully(client, frame.data() + pf::xpc::wire::kHeaderBytes, header->length)) return 1;
        if (!(header->flags & pf::xpc::wire::kWantsReply)) continue;
        const pf::xpc::wire::FrameHeader reply{header->length, pf::xpc::wire::kIsReply, 1, header->messageId};
        pf::xpc::wire::writeHeader(reply, frame.data());
        return vb::writeFully(client, frame.data(), frame.size()) ? 0 : 1;
    }
}
