#include "platform/xpc/SenderCredentials.h"

#include <sys/socket.h>

#include <cstring>

#include "platform/xpc/Syscall.h"

namespace pf::xpc::detail {

int recordSenders(int socketFd) {
    const int on = 1;
    return sys::retry([&] { return ::setsockopt(socketFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on); });
}

ssize_t receiveWithSender(int socketFd, std::uint8_t* buffer, std::size_t length, Sender* sender) {
    *sender = Sender{};
    iovec io{buffer, length};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = sys::retry([&] { return ::recvmsg(socketFd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC); });
    if (n <= 0) return n;
    for (cmsghdr* h = CMSG_FIRSTHDR(&message); h; h = CMSG_NXTHDR(&message, h)) {
        if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_CREDENTIALS || h->cmsg_len < CMSG_LEN(sizeof(ucred)))
            continue;
        ucred credentials{};
        std::memcpy(&credentials, CMSG_DATA(h), sizeof credentials);
        sender->pid = credentials.pid;
        sender->uid = credentials.uid;
    }
    return n;
}

} // namespace pf::xpc::detail
