#pragma once
// A tiny on-demand daemon living in the test program itself: the launcher's
// jobs run `test_launchd --as-test-daemon MODE SERVICE [MARKER]`.
//
// hello: takes its socket by socket activation, accepts one client, writes
//   "hello pid=P listenpid=yes|no uid=U gid=G fds=N names=A:B greeting=...
//   inherited=... extra=FD|none\n" and exits once the client has closed.
// crash: aborts before accepting.
// crash-once: aborts when MARKER does not exist yet (creating it), else hello.
#include <string>
#include <vector>

namespace vt {

std::vector<std::string> testDaemonArguments(const std::string& executable, const std::string& mode,
                                             const std::string& service, const std::string& marker = "");

// The value of `key=` in a hello line, or "".
std::string helloField(const std::string& line, const std::string& key);

} // namespace vt
