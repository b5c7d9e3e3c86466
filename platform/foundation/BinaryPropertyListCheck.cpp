#include "platform/foundation/BinaryPropertyListCheck.h"

#include "platform/foundation/BinaryPropertyListLayout.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace pf {

namespace {

using bplist::inspect;
using bplist::Layout;
using bplist::ObjectInfo;

// A dictionary key must be a string without NUL characters, as the writers
// require: what could not be written back is not read either.
bool isUsableKey(const Layout& l, std::uint64_t index) {
    auto info = inspect(l, index);
    if (!info || (info->type != 0x5 && info->type != 0x6)) return false;
    const std::size_t unit = info->type == 0x6 ? 2 : 1;
    for (std::uint64_t i = 0; i < info->count; ++i) {
        const unsigned char* at = l.bytes + info->contentAt + i * unit;
        if (at[0] == 0 && (unit == 1 || at[1] == 0)) return false;
    }
    return true;
}

enum class Mark : std::uint8_t { Unseen, InProgress, Done };

struct Frame {
    std::uint64_t index;
    ObjectInfo info;
    std::uint64_t next = 0;     // next reference to visit
    std::uint64_t expanded = 1; // objects the reader will make for this subtree
};

} // namespace

bool isWellFormedBinaryPropertyList(std::string_view text, const PropertyListLimits& limits) {
    if (text.size() > limits.maxBytes) return false;
    const std::optional<Layout> layout = bplist::readLayout(text, limits.maxObjects);
    if (!layout) return false;
    const Layout& l = *layout;
    const std::uint64_t top = l.top;

    std::vector<Mark> marks(l.objectCount, Mark::Unseen);
    // Keys are checked once per object, however many entries share one.
    std::vector<bool> goodKeys(l.objectCount, false);
    std::vector<std::uint64_t> expanded(l.objectCount, 0);
    const std::uint64_t maxExpanded = limits.maxObjects;

    auto topInfo = inspect(l, top);
    if (!topInfo) return false;
    std::vector<Frame> stack;
    stack.push_back(Frame{top, *topInfo});
    marks[top] = Mark::InProgress;
    if (limits.maxDepth == 0) return false;

    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.info.childCount) {
            marks[frame.index] = Mark::Done;
            expanded[frame.index] = frame.expanded;
            std::uint64_t done = frame.expanded;
            stack.pop_back();
            if (!stack.empty()) {
                stack.back().expanded += done;
                if (stack.back().expanded > maxExpanded) return false;
            }
            continue;
        }
        const std::uint64_t ref = bplist::readBigEndian(l.bytes + frame.info.refsAt + frame.next * l.refSize, l.refSize);
        const bool isKey = frame.info.type == 0xD && frame.next < frame.info.childCount / 2;
        ++frame.next;
        if (ref >= l.objectCount) return false;
        if (isKey && !goodKeys[ref]) {
            if (!isUsableKey(l, ref)) return false;
            goodKeys[ref] = true;
        }
        switch (marks[ref]) {
        case Mark::InProgress: return false; // a cycle
        case Mark::Done:
            frame.expanded += expanded[ref];
            if (frame.expanded > maxExpanded) return false;
            continue;
        case Mark::Unseen: break;
        }
        auto info = inspect(l, ref);
        if (!info) return false;
        if (info->childCount == 0) {
            // An empty container is still a level of nesting.
            const bool container = info->type == 0xA || info->type == 0xC || info->type == 0xD;
            if (container && stack.size() >= limits.maxDepth) return false;
            marks[ref] = Mark::Done;
            expanded[ref] = 1;
            if (++frame.expanded > maxExpanded) return false;
            continue;
        }
        if (stack.size() >= limits.maxDepth) return false;
        marks[ref] = Mark::InProgress;
        stack.push_back(Frame{ref, *info}); // invalidates frame
    }
    return expanded[top] <= maxExpanded;
}

} // namespace pf
