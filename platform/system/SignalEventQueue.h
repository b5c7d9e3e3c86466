#pragma once
// The stand-in for a kernel event queue of signals. Linux discards a signal
// that is set to be ignored when it is generated, so neither an ignored
// disposition nor a signalfd can see it later; instead an observed signal
// gets a handler that marks it pending and writes one byte to a non-blocking
// self-pipe. The signal thereby loses its default action, arrivals before a
// fetch coalesce into one event, and the pipe's read end is readable while an
// event is pending, whether or not anyone watches it.
//
// One queue per process, made on first use and kept until exit.
#include <optional>

namespace pf {

class SignalEventQueue {
public:
    // The process's queue, or nullptr when its pipe cannot be made.
    static SignalEventQueue* shared();

    // Readable while an event may be pending.
    int descriptor() const;
    // Installs the marking handler (SA_RESTART); false when the signal
    // cannot be caught (SIGKILL, SIGSTOP, out of range). Never undone.
    bool addSignal(int signal);
    // One pending signal, oldest number first, or nothing; never waits.
    std::optional<int> fetch();

private:
    SignalEventQueue(int readFd, int writeFd);
    int readFd_;
};

} // namespace pf
