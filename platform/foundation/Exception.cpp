#include "platform/foundation/Exception.h"

#include <execinfo.h>

namespace pf {

namespace {
constexpr int kMaxFrames = 128;
}

// Not inlined, so that it has a frame of its own. The stack starts at the
// return address into the code that made the exception; the frames before it
// (this constructor, and any wrapper a sanitizer puts around backtrace) are
// dropped.
__attribute__((noinline)) Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    void* const caller = __builtin_return_address(0);
    int first = 1;
    for (int i = 0; i < count; ++i) {
        if (frames[i] == caller) {
            first = i;
            break;
        }
    }
    for (int i = first; i < count; ++i) stack_.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
}

void raise(std::string name, std::string reason) { throw Exception(std::move(name), std::move(reason)); }

} // namespace pf
