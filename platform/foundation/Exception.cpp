#include "platform/foundation/Exception.h"

#include <execinfo.h>

namespace pf {

namespace {
constexpr int kMaxFrames = 128;
}

// Not inlined, so that the first captured frame is this constructor, which is skipped.
__attribute__((noinline)) Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {
    void* frames[kMaxFrames];
    int count = backtrace(frames, kMaxFrames);
    for (int i = 1; i < count; ++i) stack_.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
}

void raise(std::string name, std::string reason) { throw Exception(std::move(name), std::move(reason)); }

} // namespace pf
