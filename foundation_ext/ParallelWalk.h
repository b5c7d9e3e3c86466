#pragma once
// Runs work(i) for every i below count on up to one thread per processor
// (the caller's among them), each thread taking the next index as it
// finishes one. Tree walks spend nearly all their time in the kernel's
// directory and inode calls, which run side by side on separate cores.
#include <cstddef>
#include <functional>

void forEachIndexInParallel(std::size_t count, const std::function<void(std::size_t)>& work);
