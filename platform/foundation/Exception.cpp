#include "platform/foundation/Exception.h"

#include <execinfo.h>

namespace pf {

namespace {
constexpr int kMaxFrames = 128;
}

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

// The frames before `caller` (raise itself, this function, and any wrapper a
// sanitizer puts around backtrace) are dropped.
void Exception::captureCallStack(const void* caller) {
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    int first = count;
    for (int i = 0; i < count; ++i) {
        if (frames[i] == caller) {
            first = i;
            break;
        }
    }
    if (first == count) first = count > 2 ? 2 : count; // caller not seen: skip the two known frames
    stack_.clear();
    for (int i = first; i < count; ++i) stack_.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
}

// Not inlined, so that each has a frame of its own and its return address
// lies in the code that raised.
__attribute__((noinline)) void raise(Exception exception) {
    exception.captureCallStack(__builtin_return_address(0));
    throw exception;
}

__attribute__((noinline)) void raise(std::string name, std::string reason) {
    Exception exception(std::move(name), std::move(reason));
    exception.captureCallStack(__builtin_return_address(0));
    throw exception;
}

} // namespace pf
