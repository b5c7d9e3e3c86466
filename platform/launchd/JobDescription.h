#pragma once
// Job descriptions: what the service manager knows about a job, read from
// the property list LABEL.plist in the jobs folder of a domain (JobDomain.h).
//
// A job is started on demand: the service manager (systemd, or our
// vicar-launcher) holds the listening socket of each of the job's
// "MachServices" and starts "ProgramArguments" when the first client
// connects, handing the sockets over by socket activation: LISTEN_PID (the
// daemon's pid), LISTEN_FDS (how many, from descriptor 3 on) and
// LISTEN_FDNAMES (the service names, ":"-separated). The daemon takes its
// socket with pf::xpc::takeActivatedSocket (platform/xpc/ServiceSocket.h).
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/launchd/JobDomain.h"

namespace pf::launchd {

// The job description of `label` in the domain's folder, as a dictionary
// value; nullopt when there is no such job, its file is unsafe (a symlink,
// writable by others, too large) or does not parse, or its top level is no
// dictionary. A label containing "/" or starting with "." finds nothing.
std::optional<pf::Value> copyJobDictionary(std::string_view label, Domain domain);

// The keys of a job that the launcher acts on.
struct JobDescription {
    std::string label;
    std::vector<std::string> programArguments; // may be empty: nothing to start
    std::vector<std::string> machServices;     // keys of "MachServices" whose value is not false
    std::optional<std::string> userName;
    std::optional<std::string> groupName;
    std::map<std::string, std::string> environmentVariables;
    std::optional<std::int64_t> timeOut; // informational: the daemon reads it itself
};

constexpr std::size_t kMaxJobs = 256;
constexpr std::size_t kMaxMachServicesPerJob = 64;
constexpr std::size_t kMaxProgramArguments = 1024;
constexpr std::size_t kMaxEnvironmentVariables = 1024;

// The description in a parsed job dictionary; nullopt with the reason in
// *problem when a key has the wrong type or an unusable value.
std::optional<JobDescription> jobDescriptionFromValue(const pf::Value& job, std::string* problem);

// Every valid job of a folder ("*.plist" files whose "Label" is their name),
// sorted by label. Each file that is skipped, and the folder itself when it
// cannot be used, adds one line to *problems. Root and the effective user may
// own the folder and its files; no one else may write them. A Mach service
// claimed by an earlier job makes a later job invalid.
std::vector<JobDescription> loadJobs(const std::string& folder, std::vector<std::string>* problems);

} // namespace pf::launchd
