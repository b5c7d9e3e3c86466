#pragma once
// One process-wide thread that keeps a deadline heap (steady clock) and runs
// each due callback on itself; callbacks only hand work to a queue.
#include <cstdint>
#include <functional>

namespace pf::dispatch::detail {

// Returns an id that cancelTimer accepts.
std::uint64_t scheduleAfter(double seconds, std::function<void()> callback);
void cancelTimer(std::uint64_t id);

} // namespace pf::dispatch::detail
