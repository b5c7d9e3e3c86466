#pragma once
// Starting a job's program with its listening sockets handed over by socket
// activation: the sockets become descriptors 3, 4, ... (the only descriptors
// beyond 0-2 that survive the exec), LISTEN_PID/LISTEN_FDS/LISTEN_FDNAMES
// describe them, the child gets a session of its own, default signal
// handling and an empty signal mask, and runs as the job's user and group.
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/launchd/JobIdentity.h"

struct SpawnRequest {
    std::vector<std::string> arguments; // arguments[0] is the absolute path executed, no PATH search
    // The whole environment but LISTEN_PID, which only the child knows.
    std::vector<std::string> environment;
    std::vector<int> sockets;
    pf::launchd::JobIdentity identity;
};

// The child's pid, or -1 (with the reason in *why) when none was made. When
// the child failed before running the program, *why says why; that child
// exits with status 127 and is the caller's to reap, as any other.
pid_t spawnActivated(const SpawnRequest& request, std::string* why);
