// Signal set-up shared by the POSIX programs (zolemul's console, zolhost): stop
// requests by signal, and threads that leave every signal to the main thread.
#pragma once

#include <signal.h>

// SIGINT, SIGTERM and SIGHUP call onStop (which must be async-signal-safe) instead
// of ending the program, and SIGPIPE is ignored: output that nobody reads any more
// makes a write fail instead of ending the program.
void InstallStopSignals(void (*onStop)(int));

// While one is in scope, every signal is blocked on the calling thread; threads
// started meanwhile inherit that mask, so signals stay with the main thread.
class AllSignalsBlocked {
public:
    AllSignalsBlocked();
    ~AllSignalsBlocked();
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    sigset_t saved_;
};
