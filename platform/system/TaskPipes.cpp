#include "platform/system/TaskPipes.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pf {

std::optional<TaskPipes> TaskPipes::make() {
    // The input is a socket pair rather than a pipe so that writing to a child
    // that has gone fails with EPIPE (MSG_NOSIGNAL) instead of raising SIGPIPE.
    int in[2], out[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return std::nullopt;
    TaskPipes pipes;
    pipes.inputWrite.reset(in[0]);
    pipes.inputChild.reset(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    pipes.outputRead.reset(out[0]);
    pipes.outputChild.reset(out[1]);
    ::shutdown(pipes.inputWrite.get(), SHUT_RD);
    return pipes;
}

bool TaskPipes::exchange(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                         std::size_t maxOutputBytes) {
    inputChild.reset();
    outputChild.reset();
    std::size_t written = 0;
    bool inputOk = true;
    if (input.empty()) inputWrite.reset();

    std::uint8_t buffer[65536];
    while (outputRead || inputWrite) {
        pollfd fds[2] = {{outputRead.get(), POLLIN, 0}, {inputWrite.get(), POLLOUT, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) {
            ssize_t n = ::send(inputWrite.get(), input.data() + written, input.size() - written,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) written += static_cast<std::size_t>(n);
            if ((n < 0 && errno != EINTR && errno != EAGAIN) || written == input.size()) {
                inputOk = written == input.size();
                inputWrite.reset();
            }
        }
        if (fds[0].revents) {
            ssize_t n = ::read(outputRead.get(), buffer, sizeof buffer);
            if (n > 0) {
                const std::size_t room = maxOutputBytes - std::min(maxOutputBytes, output.size());
                output.insert(output.end(), buffer, buffer + std::min<std::size_t>(room, n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                outputRead.reset();
            }
        }
    }
    return inputOk;
}

} // namespace pf
