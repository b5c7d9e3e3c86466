#pragma once
// The process at the other end of a connection, read from its /proc folder,
// which is opened only while the peer's pidfd still names that pid: once
// open, the folder stays the process's own (a recycled pid gets another), so
// nothing read through it can describe a different process.
#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/system/UniqueFd.h"

class VDPeerProcess {
public:
    // nullopt with the reason when the process is gone or cannot be reached.
    static std::optional<VDPeerProcess> open(int pidfd, std::string* why);

    // The running executable, opened, and the path it was started from;
    // nullopt when it cannot be reached.
    struct Executable {
        pf::UniqueFd fd;
        std::string path;
    };
    std::optional<Executable> executable() const;

    // Reasons a process cannot be trusted to be running its own executable's
    // code, or nullopt: a tracer (which can drive it), a library the dynamic
    // loader was told to add (LD_PRELOAD, LD_LIBRARY_PATH, LD_AUDIT), or a
    // connection the process did not open itself: its end (socketInode, 0
    // when unknown) held through a descriptor that survives exec, or not held
    // at all (whoever wrote to it then ran another program).
    std::optional<std::string> untrustworthy(ino_t socketInode) const;

private:
    explicit VDPeerProcess(pf::UniqueFd directory) : directory_(std::move(directory)) {}
    std::optional<std::string> tracedReason() const;
    std::optional<std::string> loaderReason() const;
    std::optional<std::string> socketReason(ino_t socketInode) const;

    pf::UniqueFd directory_;
};
