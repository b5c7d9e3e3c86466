#pragma once
// The one loop that retries a system call a signal interrupted; calls that
// report failure as -1 with errno go through it instead of loops of their own.
#include <cerrno>

namespace pf {

// The call, again for as long as it fails with EINTR; its last result, with
// errno as that call left it.
template <typename Call>
auto retryOnEintr(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

} // namespace pf
