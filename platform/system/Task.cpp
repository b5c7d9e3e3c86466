#include "platform/system/Task.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "platform/system/Retry.h"
#include "platform/system/UniqueFd.h"

extern char** environ;

namespace pf {

namespace {

// posix_spawn's file actions and attributes own nothing; this frees them on every path.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
public:
    SpawnObject() { Init(&value_); }
    ~SpawnObject() { Destroy(&value_); }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    T* get() { return &value_; }

private:
    T value_;
};
using FileActions =
    SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// A source descriptor among 0-2 could be overwritten by an earlier dup2 of
// the file actions, so such a descriptor is first copied above them.
int descriptorAboveStandard(int fd, UniqueFd& holder) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    holder.reset(::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    return holder.get();
}

int addStream(posix_spawn_file_actions_t* actions, int source, int target) {
    if (source < 0) return ::posix_spawn_file_actions_addopen(actions, target, "/dev/null", O_RDWR, 0);
    return ::posix_spawn_file_actions_adddup2(actions, source, target);
}

} // namespace

std::unique_ptr<Task> Task::launch(const std::string& path, const std::vector<std::string>& arguments,
                                   const Streams& streams, int& error) {
    UniqueFd held[3];
    const int sources[3] = {descriptorAboveStandard(streams.input, held[0]),
                            descriptorAboveStandard(streams.output, held[1]),
                            descriptorAboveStandard(streams.error, held[2])};
    const int given[3] = {streams.input, streams.output, streams.error};
    FileActions actions;
    for (int target = 0; target < 3; ++target) {
        if (given[target] >= 0 && sources[target] < 0) return error = EMFILE, nullptr;
        if (int rc = addStream(actions.get(), sources[target], target); rc != 0) return error = rc, nullptr;
    }

    // The daemon may ignore SIGPIPE or block signals; the child starts clean.
    SpawnAttributes attributes;
    sigset_t all, none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(attributes.get(), &all);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    if (int rc = ::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), environ); rc != 0)
        return error = rc, nullptr;
    return std::unique_ptr<Task>(new Task(pid));
}

Task::~Task() { waitUntilExit(); }

int Task::waitUntilExit() {
    if (reaped_) return status_;
    int raw = 0;
    const pid_t rc = retryOnEintr([&] { return ::waitpid(pid_, &raw, 0); });
    reaped_ = true;
    // ECHILD: someone else reaped it (a SIGCHLD set to ignore); nothing is known.
    if (rc < 0) return status_ = -1;
    status_ = WIFSIGNALED(raw) ? WTERMSIG(raw) : WEXITSTATUS(raw);
    return status_;
}

} // namespace pf
