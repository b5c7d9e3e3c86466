#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/xpc/PeerSocket.h"
#include "tests/support/ChildCheck.h"
#include "tests/support/TestSupport.h"

namespace {

// A daemon in a network namespace of its own (systemd's PrivateNetwork) still
// finds a client's end of a connection made in the host's namespace, through
// the diagnostics socket handed to it from there.
TEST(PeerSocket, FoundFromAnotherNetworkNamespaceThroughAnAdoptedDiagnosticsSocket) {
    if (::geteuid() != 0) GTEST_SKIP() << "a network namespace needs root";
    const int status = vt::runInChild([] {
        int pair[2];
        VT_CHILD_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
        struct stat peer {};
        VT_CHILD_CHECK(::fstat(pair[1], &peer) == 0);
        VT_CHILD_CHECK(pf::xpc::detail::peerSocketInode(pair[0]) == peer.st_ino);
        const int diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        VT_CHILD_CHECK(diag >= 0);
        VT_CHILD_CHECK(::unshare(CLONE_NEWNET) == 0);
        VT_CHILD_CHECK(pf::xpc::detail::peerSocketInode(pair[0]) == 0);
        VT_CHILD_CHECK(!pf::xpc::detail::adoptDiagnosticsSocket(pair[1]));
        VT_CHILD_CHECK(pf::xpc::detail::adoptDiagnosticsSocket(diag));
        VT_CHILD_CHECK(pf::xpc::detail::peerSocketInode(pair[0]) == peer.st_ino);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
