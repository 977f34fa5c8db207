#include "platform/posix_signals.h"

#include <pthread.h>

void InstallStopSignals(void (*onStop)(int)) {
    struct sigaction sa {};
    sa.sa_handler = onStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

AllSignalsBlocked::AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
}

AllSignalsBlocked::~AllSignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}
