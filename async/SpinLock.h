#pragma once
// The short locks around task FIFOs: an atomic flag taken by exchange, with a
// processor pause between attempts. Held only for a push, a pop or a test.
#include <atomic>

namespace VD::async {

class spin_lock {
public:
    void lock() noexcept {
        while (flag_.test_and_set(std::memory_order_acquire)) {
            while (flag_.test(std::memory_order_relaxed)) pause();
        }
    }
    void unlock() noexcept { flag_.clear(std::memory_order_release); }

private:
    static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    std::atomic_flag flag_;
};

} // namespace VD::async
