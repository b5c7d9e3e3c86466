#pragma once
// System calls wrapped once: retried on EINTR, failures reported as a
// negative errno value (so EAGAIN stays apart from real errors), and error
// text that says what was being done.
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/system/Retry.h"

namespace pf::xpc::sys {

// Runs call() until it does not fail with EINTR; returns its result, or
// -errno when it returned -1.
template <class Call>
auto retry(Call call) -> decltype(call()) {
    const auto result = retryOnEintr(call);
    return result != -1 ? result : -static_cast<decltype(result)>(errno);
}

// "what: strerror(err)" for err > 0 (an errno value).
std::string errorText(std::string_view what, int err);

} // namespace pf::xpc::sys
