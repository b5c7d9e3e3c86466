#pragma once
// The channels between a caller and a task it runs: an input channel whose
// far end becomes the child's standard input, and an output pipe whose far
// end becomes its standard output (and error, when merged). Every descriptor
// is close-on-exec; the child gets its ends through the spawn's dup2.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/system/UniqueFd.h"

namespace pf {

struct TaskPipes {
    UniqueFd inputWrite;  // ours
    UniqueFd inputChild;  // the child's standard input
    UniqueFd outputRead;  // ours
    UniqueFd outputChild; // the child's standard output (and error)

    // nullopt when a descriptor cannot be made.
    static std::optional<TaskPipes> make();

    // After the child has started: closes the child's ends here, then writes
    // the input while reading the output, so a child that writes much before
    // it reads cannot block either side. The input end is closed once all of
    // it is written or the child stops reading; the output is read to its end.
    // Output beyond maxOutputBytes is read and dropped, so the child never
    // blocks on a full pipe. Returns false when the input could not be written
    // in full.
    bool exchange(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                  std::size_t maxOutputBytes);
};

} // namespace pf
