#include "support/log/ShellOutput.h"

#include <cstdio>
#include <memory>

namespace {

// The commands are our own one-line queries; a runaway one is cut here (its
// shell then ends on a broken pipe) rather than filling memory.
constexpr std::size_t kMaxOutputBytes = 1 << 20;
constexpr std::size_t kChunkBytes = 512;

struct PipeCloser {
    void operator()(FILE* f) const { ::pclose(f); }
};

} // namespace

std::string vdshell_output(const char* command) {
    if (command == nullptr) return {};
    // "e": the pipe is close-on-exec, so no other child inherits it.
    std::unique_ptr<FILE, PipeCloser> pipe(::popen(command, "re"));
    if (!pipe) return {};
    std::string output;
    char chunk[kChunkBytes];
    while (output.size() < kMaxOutputBytes) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe.get());
        if (n == 0) break;
        output.append(chunk, n);
    }
    return output;
}
